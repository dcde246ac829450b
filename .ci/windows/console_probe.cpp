// What a Windows console layer relies on, shown by a plain Win32 program that
// windows-check.sh builds with mingw-w64 and runs under Wine.
//
//   console_probe redirected   stdout is a file or a pipe
//   console_probe console      stdout is a console (Wine on a pseudo-terminal)
//
// The text goes to stdout, each line tagged with the way it was written; the
// findings (handle type, API results, code pages) go to report.txt in the
// working directory as key=value lines, since stdout is the handle under
// test. The report is written in binary mode, its lines ending in '\n' only.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>

namespace {

// The text of a real message: Chinese, ending in a space as the messages
// followed by a path or an error do.
const char utf8Text[] = u8"无法打开数据库 ";
const wchar_t wideText[] = L"无法打开数据库 ";

FILE *report;

const char *fileType(HANDLE handle)
{
    switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
        return "disk";
    case FILE_TYPE_PIPE:
        return "pipe";
    case FILE_TYPE_CHAR:
        return "char";
    default:
        return "unknown";
    }
}

// Result of a call: "ok" or the error number Windows gave.
void result(const char *key, BOOL ok)
{
    if (ok)
        std::fprintf(report, "%s=ok\n", key);
    else
        std::fprintf(report, "%s=error %lu\n", key, GetLastError());
}

BOOL writeBytes(HANDLE out, const char *tag)
{
    char line[128];
    std::snprintf(line, sizeof line, "%s: %s\n", tag, utf8Text);
    DWORD written = 0;
    return WriteFile(out, line, DWORD(std::strlen(line)), &written, nullptr);
}

void redirected(HANDLE out)
{
    DWORD mode = 0;
    result("GetConsoleMode", GetConsoleMode(out, &mode));
    DWORD written = 0;
    result("WriteConsoleW", WriteConsoleW(out, wideText, DWORD(std::wcslen(wideText)), &written, nullptr));

    // The bytes as given, through the handle.
    result("WriteFile", writeBytes(out, "WriteFile"));
    // The C library's stdout starts in text mode: '\n' becomes "\r\n".
    std::printf("stdio-text: %s\n", utf8Text);
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    std::printf("stdio-binary: %s\n", utf8Text);
    std::fflush(stdout);
}

void console(HANDLE out)
{
    DWORD mode = 0;
    result("GetConsoleMode", GetConsoleMode(out, &mode));
    const UINT systemCodePage = GetConsoleOutputCP();

    DWORD written = 0;
    const wchar_t prefix[] = L"WriteConsoleW: ";
    BOOL ok = WriteConsoleW(out, prefix, DWORD(std::wcslen(prefix)), &written, nullptr)
        && WriteConsoleW(out, wideText, DWORD(std::wcslen(wideText)), &written, nullptr)
        && WriteConsoleW(out, L"\n", 1, &written, nullptr);
    result("WriteConsoleW", ok);

    // UTF-8 bytes read by the console in its own code page, then in UTF-8.
    result("WriteFile-default-cp", writeBytes(out, "WriteFile-default-cp"));
    result("SetConsoleOutputCP-utf8", SetConsoleOutputCP(CP_UTF8));
    result("WriteFile-utf8-cp", writeBytes(out, "WriteFile-utf8-cp"));
    SetConsoleOutputCP(systemCodePage);
}

} // namespace

int main(int argc, char **argv)
{
    report = std::fopen("report.txt", "wb");
    if (!report || argc != 2)
        return 2;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::fprintf(report, "stdout-type=%s\n", fileType(out));
    std::fprintf(report, "ACP=%u\nOEMCP=%u\nConsoleOutputCP=%u\n", GetACP(), GetOEMCP(), GetConsoleOutputCP());
    if (std::strcmp(argv[1], "redirected") == 0)
        redirected(out);
    else if (std::strcmp(argv[1], "console") == 0)
        console(out);
    else
        return 2;
    return std::fclose(report) == 0 ? 0 : 1;
}
