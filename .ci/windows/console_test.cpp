// The console layer's platform step (platform/consoleWindow.cpp) on Windows, tried
// under Wine by windows-check.sh: built with mingw-w64, linked statically,
// without Qt.
//
//   console_test            the texts, as the application writes its lines
//   console_test writefile  the same, then the first text's UTF-8 bytes put
//                           on standard output with WriteFile, as a console
//                           shows bytes that bypass the layer
//
// Each text goes to standard output and to standard error the way
// platform/console.cpp writes a line: through writeToConsoleWindow, and as UTF-8
// bytes through std::cout or std::cerr when that returns false. What it
// returned per stream goes to report.txt in the working directory (binary
// mode, lines ending in '\n'), as do the code pages, since both streams are
// under test.

#include "consoleWindow.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

const char *const texts[]
    = {u8"无法打开数据库 unable to open database filepath:", u8"SQL error: no such table: 二〇二四"};

std::string returned[2]; // per stream, one word per line written

void writeLine(std::ostream &stream, StdStream which, const std::string &text)
{
    const std::string line = text + '\n';
    stream.flush();
    const bool toWindow = writeToConsoleWindow(which, line);
    if (!toWindow)
        stream << line << std::flush;
    std::string &log = returned[which == StdStream::Output ? 0 : 1];
    log += log.empty() ? "" : " ";
    log += toWindow ? "true" : "false";
}

} // namespace

int main(int argc, char **argv)
{
    const bool writeFileToo = argc == 2 && std::strcmp(argv[1], "writefile") == 0;
    if (argc > 2 || (argc == 2 && !writeFileToo))
        return 2;
    FILE *report = std::fopen("report.txt", "wb");
    if (!report)
        return 2;
    for (const char *text : texts) {
        writeLine(std::cout, StdStream::Output, text);
        writeLine(std::cerr, StdStream::Error, text);
    }
    if (writeFileToo) {
        const std::string line = std::string("WriteFile: ") + texts[0] + '\n';
        DWORD written = 0;
        if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), DWORD(line.size()), &written, nullptr))
            std::fprintf(report, "WriteFile=error %lu\n", GetLastError());
    }
    std::fprintf(report, "ACP=%u\nConsoleOutputCP=%u\nstdout=%s\nstderr=%s\n", GetACP(), GetConsoleOutputCP(),
        returned[0].c_str(), returned[1].c_str());
    return std::fclose(report) == 0 ? 0 : 1;
}
