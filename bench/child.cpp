// One fresh viewer process, run by tabulon_bench in a prepared working
// directory. It times the real window: construction (snapshot copy and first
// table included) to the first paint of the grid, date changes, and one
// serial-number lookup, and prints the figures as key=value pairs.
//
// With "keys" as its third argument it times the window's keys instead:
// after the first paint it says "painted" (so that the benchmark can time a
// restart from outside), then times a date change, F5 (as
// often as the fourth argument says, with resident memory and open files
// after the 5th and the last), and Ctrl+A then Ctrl+C of the whole day.

#include "Tabulon.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QMimeData>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtGlobal>

#if defined(Q_OS_WIN)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: psapi.h needs its types.
#include <psapi.h>
#elif defined(Q_OS_UNIX)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Peak resident memory of this process so far, in KiB: the peak working
// set on Windows, ru_maxrss elsewhere (bytes on macOS, KiB on Linux).
long long peakRssKb()
{
#if defined(Q_OS_WIN)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return static_cast<long long>(counters.PeakWorkingSetSize / 1024);
#elif defined(Q_OS_UNIX)
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
#ifdef Q_OS_MACOS
    return usage.ru_maxrss / 1024;
#else
    return usage.ru_maxrss;
#endif
#else
    return 0;
#endif
}

// Resident memory now, in KiB, and the files (handles on Windows) the
// process holds open; 0 where they are not known.
long long rssNowKb()
{
#if defined(Q_OS_WIN)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return static_cast<long long>(counters.WorkingSetSize / 1024);
#elif defined(Q_OS_LINUX)
    long long size = 0, resident = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lld %lld", &size, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
#else
    return 0;
#endif
}

// The peak of resident memory from the last reset on, in KiB. Linux lets a
// process reset its own high-water mark; elsewhere it is the peak since start.
void resetPeakRss()
{
#if defined(Q_OS_LINUX)
    if (FILE *clear = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", clear);
        std::fclose(clear);
    }
#endif
}

long long peakRssSinceResetKb()
{
#if defined(Q_OS_LINUX)
    long long peak = 0;
    if (FILE *status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "VmHWM: %lld kB", &peak) == 1)
                break;
        }
        std::fclose(status);
    }
    return peak;
#else
    return peakRssKb();
#endif
}

long long openFiles()
{
#if defined(Q_OS_WIN)
    DWORD handles = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &handles) ? handles : 0;
#elif defined(Q_OS_LINUX)
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
#else
    return 0;
#endif
}

// Ends the loop once the viewport's paint event has been handled: the quit
// is queued, so it runs after the paint in progress is done.
class PaintWatch : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
        }
        return QObject::eventFilter(watched, event);
    }
    QEventLoop loop;
    bool painted = false;
};

QTableWidget *currentGrid(Tabulon &w)
{
    const auto grids = w.findChildren<QTableWidget *>();
    return grids.isEmpty() ? nullptr : grids.last();
}

// Waits for the first paint of the window's current grid.
void waitForPaint(Tabulon &w)
{
    QTableWidget *grid = currentGrid(w);
    if (!grid)
        return;
    PaintWatch watch;
    grid->viewport()->installEventFilter(&watch);
    QTimer::singleShot(60000, &watch.loop, &QEventLoop::quit);
    if (!watch.painted)
        watch.loop.exec();
    grid->viewport()->removeEventFilter(&watch);
    if (!watch.painted)
        std::fprintf(stderr, "no paint within a minute\n");
}

// The offscreen platform warns on every show; the viewer's own log passes.
void dropPlatformNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

double ms(const QElapsedTimer &t)
{
    return t.nsecsElapsed() / 1e6;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QAction *keyAction(Tabulon &w, const QKeySequence &keys)
{
    for (QAction *action : w.actions()) {
        if (action->shortcut() == keys)
            return action;
    }
    std::fprintf(stderr, "the window has no action for %s\n", qPrintable(keys.toString()));
    std::exit(1);
}

// Each copy is timed with the one before it written out, as an operator's
// earlier snapshot long has been: a 3 GB copy must not pay for the last.
void flushDisk()
{
#ifdef Q_OS_UNIX
    ::sync();
#endif
}

// The window's keys, after the first paint.
int timeKeys(Tabulon &w, int presses)
{
    QElapsedTimer timer;
    auto *dates = w.findChild<QComboBox *>();
    std::vector<double> changes;
    for (int i = 1; i <= 3 && dates && dates->count() > 1; ++i) {
        timer.restart();
        dates->setCurrentIndex(i % 2);
        waitForPaint(w);
        changes.push_back(ms(timer));
    }

    QAction *refresh = keyAction(w, QKeySequence(Qt::Key_F5));
    std::vector<double> refreshes;
    long long rss5 = 0, files5 = 0;
    for (int i = 1; i <= presses; ++i) {
        flushDisk();
        timer.restart();
        refresh->trigger();
        waitForPaint(w);
        refreshes.push_back(ms(timer));
        if (i == std::min(5, presses)) {
            rss5 = rssNowKb();
            files5 = openFiles();
        }
    }
    const long long rssLast = rssNowKb();
    const long long filesLast = openFiles();

    QTableWidget *grid = currentGrid(w);
    grid->selectAll();
    resetPeakRss();
    const long long rssBeforeCopy = rssNowKb();
    timer.restart();
    keyAction(w, QKeySequence(QKeySequence::Copy))->trigger();
    const double copy = ms(timer);
    const long long copyPeak = peakRssSinceResetKb() - rssBeforeCopy;
    const long long copiedChars = QApplication::clipboard()->mimeData()->text().size();

    std::printf("change_ms=%.1f refresh_ms=%.1f refreshes=%zu rss_refresh5_kb=%lld "
                "rss_refresh_last_kb=%lld files_refresh5=%lld files_refresh_last=%lld copy_ms=%.1f "
                "copy_peak_kb=%lld copied_chars=%lld\n",
        median(changes), median(refreshes), refreshes.size(), rss5, rssLast, files5, filesLast, copy,
        copyPeak, copiedChars);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(dropPlatformNoise);
    QApplication app(argc, argv);
    const int changes = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::string lookupSn = argc > 2 ? argv[2] : "";
    const bool keys = argc > 3 && std::string(argv[3]) == "keys";
    const int presses = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;

    QElapsedTimer timer;
    timer.start();
    Tabulon w;
    const double constructed = ms(timer);
    w.show();
    waitForPaint(w);
    const double startup = ms(timer);
    const long long rssStartup = peakRssKb();
    if (keys) {
        std::printf("painted\n");
        std::fflush(stdout);
        return timeKeys(w, presses);
    }

    QTableWidget *grid = currentGrid(w);
    const long long cells = grid ? static_cast<long long>(grid->rowCount()) * grid->columnCount() : 0;

    auto *dates = w.findChild<QComboBox *>();
    std::vector<double> changeMs, changeSyncMs;
    long long rssAfter2 = rssStartup;
    for (int i = 1; i <= changes && dates && dates->count() > 1; ++i) {
        timer.restart();
        dates->setCurrentIndex(i % 2);
        changeSyncMs.push_back(ms(timer));
        waitForPaint(w);
        changeMs.push_back(ms(timer));
        if (i == 2)
            rssAfter2 = peakRssKb();
    }
    const long long rssAfterChanges = peakRssKb();

    double lookup = 0, lookupSync = 0;
    long long lookupCells = 0;
    if (!lookupSn.empty()) {
        timer.restart();
        w.findChild<QLineEdit *>()->setText(QString::fromStdString(lookupSn));
        w.findChild<QPushButton *>()->click();
        lookupSync = ms(timer);
        waitForPaint(w);
        lookup = ms(timer);
        QTableWidget *result = currentGrid(w);
        lookupCells = result ? static_cast<long long>(result->rowCount()) * result->columnCount() : 0;
    }

    std::printf("constructed_ms=%.1f startup_ms=%.1f cells=%lld rss_startup_kb=%lld change_ms=%.1f change_sync_ms=%.1f "
                "changes=%zu rss_after2_kb=%lld rss_after_changes_kb=%lld lookup_ms=%.1f lookup_sync_ms=%.1f "
                "lookup_cells=%lld\n",
        constructed, startup, cells, rssStartup, median(changeMs), median(changeSyncMs), changeMs.size(), rssAfter2,
        rssAfterChanges, lookup, lookupSync, lookupCells);
    for (double c : changeMs)
        std::printf("change %.1f\n", c);
    std::fflush(stdout);
    return 0;
}
