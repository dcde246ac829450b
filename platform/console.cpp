#include "console.h"
#include "consoleWindow.h"

#include <QFileInfo>
#include <QString>

#include <iostream>

namespace console {

namespace {

// Flushed at once: an operator reads the console while the window runs.
void write(std::ostream &stream, StdStream which, const std::string &text)
{
    stream.flush();
    if (!writeToConsoleWindow(which, text))
        stream << text << std::flush;
}

void writeLogMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    errLine(logLine(type, context, message).toStdString());
}

} // namespace

void out(const std::string &text)
{
    write(std::cout, StdStream::Output, text);
}

void outLine(const std::string &text)
{
    write(std::cout, StdStream::Output, text + '\n');
}

void errLine(const std::string &text)
{
    write(std::cerr, StdStream::Error, text + '\n');
}

void installMessageHandler()
{
    qInstallMessageHandler(writeLogMessage);
}

QString logLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        return qFormatLogMessage(type, context, message);
    // Qt's own messages carry no location in a release build of Qt.
    if (!context.file)
        return message;
    // Joined, not formatted: a message may hold "%1" itself.
    return message + QStringLiteral(" (") + QFileInfo(QString::fromUtf8(context.file)).fileName() + QLatin1Char(':')
        + QString::number(context.line) + QStringLiteral(", ") + QString::fromUtf8(context.function) + QLatin1Char(')');
}

} // namespace console
