#include "consoleWindow.h"

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

bool writeToConsoleWindow(StdStream stream, const std::string &utf8)
{
    const HANDLE handle = GetStdHandle(stream == StdStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return false;
    if (utf8.empty())
        return true;
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &text[0], length);
    for (size_t done = 0; done < text.size();) {
        DWORD written = 0;
        if (!WriteConsoleW(handle, text.data() + done, DWORD(text.size() - done), &written, nullptr) || written == 0)
            break;
        done += written;
    }
    return true;
}

#else

bool writeToConsoleWindow(StdStream, const std::string &)
{
    return false;
}

#endif
