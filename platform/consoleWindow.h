#pragma once

#include <string>

// The one platform-specific step of console output, kept free of Qt so that
// it can be tried on its own. On Windows, a console window shows text in its
// code page (936 on a Chinese system), which garbles UTF-8 bytes; written as
// UTF-16 it shows right whatever the code page.
enum class StdStream { Output, Error };

// Writes UTF-8 text to the stream's console window, as UTF-16. False when
// the stream is no console window (redirected to a file or a pipe, or on a
// system whose terminals take UTF-8 bytes as they are): the caller then
// writes the bytes itself.
bool writeToConsoleWindow(StdStream stream, const std::string &utf8);
