// Reaches the console of another process, as an operator's keys and eyes
// would, for the end-to-end test on Windows:
//
//   consoleProbe ctrl-c PID SPARE       Ctrl+C on PID's console
//   consoleProbe ctrl-break PID SPARE   Ctrl+Break on PID's console
//   consoleProbe screen PID SPARE       what PID's console shows, as UTF-8
//
// A console event goes to every process on the console, so the probe
// refuses when the process SPARE (the test program) shares PID's console.
// Exit codes: 0 done, 2 no console to attach to (PID has ended, or has
// none), 3 the system refused the event (its error on standard output), 4
// SPARE is on that console, 5 the screen cannot be read, 1 bad arguments.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

HANDLE output = INVALID_HANDLE_VALUE;

void say(const std::string &text)
{
    DWORD written = 0;
    WriteFile(output, text.data(), DWORD(text.size()), &written, nullptr);
}

std::string utf8(const wchar_t *text, int length)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

bool spareIsOnConsole(DWORD spare)
{
    std::vector<DWORD> processes(64);
    const DWORD count = GetConsoleProcessList(processes.data(), DWORD(processes.size()));
    for (DWORD i = 0; i < count && i < processes.size(); ++i) {
        if (processes[i] == spare)
            return true;
    }
    return false;
}

int sendEvent(DWORD event)
{
    // The probe is on the console now too; it must not end itself.
    SetConsoleCtrlHandler(nullptr, TRUE);
    if (!GenerateConsoleCtrlEvent(event, 0)) {
        say("error " + std::to_string(GetLastError()) + "\n");
        return 3;
    }
    return 0;
}

// Every line up to the cursor, trailing blanks dropped; the first line
// names the console's output code page.
int readScreen()
{
    const HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info))
        return 5;
    std::string text = "codepage " + std::to_string(GetConsoleOutputCP()) + "\n";
    std::vector<wchar_t> row(size_t(info.dwSize.X));
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD got = 0;
        if (!ReadConsoleOutputCharacterW(screen, row.data(), DWORD(row.size()), COORD{0, y}, &got))
            return 5;
        while (got > 0 && row[got - 1] == L' ')
            --got;
        text += utf8(row.data(), int(got)) + "\n";
    }
    CloseHandle(screen);
    say(text);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (argc != 4)
        return 1;
    const std::string command = argv[1];
    const DWORD pid = std::strtoul(argv[2], nullptr, 10);
    const DWORD spare = std::strtoul(argv[3], nullptr, 10);
    if (pid == 0 || (command != "ctrl-c" && command != "ctrl-break" && command != "screen"))
        return 1;
    FreeConsole();
    if (!AttachConsole(pid))
        return 2;
    int status = 4;
    if (!spareIsOnConsole(spare)) {
        if (command == "screen")
            status = readScreen();
        else
            status = sendEvent(command == "ctrl-c" ? CTRL_C_EVENT : CTRL_BREAK_EVENT);
    }
    FreeConsole();
    return status;
}
