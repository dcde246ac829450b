// One fresh viewer process, run by tabulon_bench in a prepared working
// directory. It times the real window: construction (snapshot copy and first
// table included) to the first paint of the grid, date changes, and one
// serial-number lookup, and prints the figures as key=value pairs.

#include "Tabulon.h"

#include <QApplication>
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

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(dropPlatformNoise);
    QApplication app(argc, argv);
    const int changes = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::string lookupSn = argc > 2 ? argv[2] : "";

    QElapsedTimer timer;
    timer.start();
    Tabulon w;
    const double constructed = ms(timer);
    w.show();
    waitForPaint(w);
    const double startup = ms(timer);
    const long long rssStartup = peakRssKb();

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

    auto median = [](std::vector<double> v) {
        if (v.empty())
            return 0.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
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
