#include "quitOnSignals.h"

#include <QCoreApplication>

#if defined(Q_OS_WIN)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

namespace {

std::atomic<QCoreApplication *> application{nullptr};
// Set once the application object is gone, which is after the window's
// destructor has deleted the snapshot.
HANDLE shutDown = nullptr;

// Runs on a thread of its own, so it only posts the quit to the event loop
// and touches no widget. After a close the system ends the process as soon
// as this returns, or about 5 seconds after the close in any case: wait for
// the shut-down, but not longer than that.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (QCoreApplication *app = application.load())
        QMetaObject::invokeMethod(
            app,
            [] {
                QCoreApplication::quit();
            },
            Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT)
        WaitForSingleObject(shutDown, 4000);
    return TRUE;
}

} // namespace

void quitOnTerminationSignals(QCoreApplication *app)
{
    shutDown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    application = app;
    QObject::connect(app, &QObject::destroyed, [] {
        application = nullptr;
        SetEvent(shutDown);
    });
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

#elif defined(Q_OS_UNIX)
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe calls here: one write to the socket pair. The
// write end does not block, so a burst of signals cannot hang the handler,
// and errno is kept for the code the signal interrupted.
void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

void quitOnTerminationSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    // Children started by the program must not inherit the pair.
    for (int fd : signalPipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(signalPipe[0], F_SETFL, ::fcntl(signalPipe[0], F_GETFL) | O_NONBLOCK);
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app]() {
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[1], &byte, 1);
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

#else

void quitOnTerminationSignals(QCoreApplication *)
{
}

#endif
