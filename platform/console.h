#pragma once

#include <QtGlobal>

#include <string>

class QMessageLogContext;
class QString;

// Everything the program says on its console goes through here: standard
// output, standard error and the debug log. Texts are UTF-8. A console
// window on Windows gets them as UTF-16, so that its code page cannot
// garble them; redirected output, and every stream elsewhere, gets the
// UTF-8 bytes as they are.
namespace console {

// Standard output, as it is: no line end is added.
void out(const std::string &text);
// Standard output or standard error, followed by a line end.
void outLine(const std::string &text);
void errLine(const std::string &text);

// From here on the debug log is written to standard error through this
// unit, each message followed by where it was written. Messages stay
// messages of the debug log: a handler installed later still gets them.
void installMessageHandler();

// The line written for one message: its text and location, or the form
// that QT_MESSAGE_PATTERN asks for when it is set.
QString logLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

} // namespace console
