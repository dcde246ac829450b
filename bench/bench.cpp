// Benchmark of the day view: generates day tables of several sizes (cached),
// measures the floor of reading every cell with SQLite alone, runs the real
// viewer in fresh child processes, and prints medians and ratios.
//
// Usage: tabulon_bench CHILD DATA_DIR [RUNS] [CHANGES] [SIZE_FILTER]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

const char *const firstDay = "2024-03-05";
const char *const secondDay = "2024-03-06";
// Bumped whenever the generated data changes, so stale caches are rebuilt.
const int dataVersion = 1;

struct Size {
    int rows;
    int cols;
    std::string name() const
    {
        return std::to_string(rows / 1000) + "k x " + std::to_string(cols);
    }
    std::string dir() const
    {
        return std::to_string(rows) + "x" + std::to_string(cols);
    }
};

std::string snText(const char *day, int row)
{
    char text[40];
    std::snprintf(text, sizeof text, "QOR%.4s%.2s%.2sA%07d", day, day + 5, day + 8, row);
    return text;
}

std::string columnName(int c)
{
    static const char *const kinds[] = {"i", "r", "t"};
    char name[16];
    std::snprintf(name, sizeof name, "%s%02d", kinds[(c - 2) % 3], c);
    return name;
}

const char *columnType(int c)
{
    static const char *const types[] = {"INTEGER", "REAL", "TEXT"};
    return types[(c - 2) % 3];
}

// Values like a line's records: integer states and counters of varying
// spread, measurements with four decimals, short status texts, lot numbers.
void bindValue(sqlite3_stmt *insert, int c, std::mt19937 &rng)
{
    if (rng() % 20 == 0) {
        sqlite3_bind_null(insert, c + 1);
        return;
    }
    const int kind = (c - 2) % 3;
    const int spread = (c / 3) % 4;
    if (kind == 0) {
        static const int ranges[] = {2, 10, 1000, 1000000};
        sqlite3_bind_int(insert, c + 1, int(rng() % ranges[spread]));
    } else if (kind == 1) {
        const double value = double(rng() % 2000000) / 10000.0;
        sqlite3_bind_double(insert, c + 1, value);
    } else {
        static const char *const status[] = {"PASS", "FAIL", "RETEST", "NG", "OK"};
        static const char *const stations[] = {"ST-01", "ST-02", "ST-03", "ST-04", "ST-05", "ST-06", "ST-07"};
        char text[32];
        if (spread == 0)
            std::snprintf(text, sizeof text, "%s", status[rng() % 5]);
        else if (spread == 1)
            std::snprintf(text, sizeof text, "%s", stations[rng() % 7]);
        else if (spread == 2)
            std::snprintf(text, sizeof text, "OP%04u", unsigned(rng() % 300));
        else
            std::snprintf(text, sizeof text, "LOT-%08X", unsigned(rng()));
        sqlite3_bind_text(insert, c + 1, text, -1, SQLITE_TRANSIENT);
    }
}

bool exec(sqlite3 *db, const std::string &sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql.c_str(), error ? error : "");
        sqlite3_free(error);
        return false;
    }
    return true;
}

bool fillDay(sqlite3 *db, const Size &size, const char *day, unsigned seed)
{
    std::string create = std::string("CREATE TABLE \"") + day + "\" (sn TEXT, send INTEGER";
    std::string insertSql = std::string("INSERT INTO \"") + day + "\" VALUES (?,?";
    for (int c = 2; c < size.cols; ++c) {
        create += ", " + columnName(c) + " " + columnType(c);
        insertSql += ",?";
    }
    if (!exec(db, create + ")"))
        return false;
    sqlite3_stmt *insert = nullptr;
    if (sqlite3_prepare_v2(db, (insertSql + ")").c_str(), -1, &insert, nullptr) != SQLITE_OK)
        return false;
    std::mt19937 rng(seed);
    bool ok = true;
    for (int r = 0; r < size.rows && ok; ++r) {
        const std::string sn = snText(day, r);
        sqlite3_bind_text(insert, 1, sn.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 2, int(rng() % 2));
        for (int c = 2; c < size.cols; ++c)
            bindValue(insert, c, rng);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    return ok;
}

// The working directory a child runs in: the database with both days (the
// first day first in schema order) and a configuration that hides one
// column, names one that no day has, and renames two.
bool prepare(const QString &root, const Size &size)
{
    const QString dir = root + "/" + QString::fromStdString(size.dir());
    const QString dbFile = dir + "/sqlDatabase/QOR-database.db";
    QDir().mkpath(dir + "/sqlDatabase");
    QDir().mkpath(dir + "/config");
    QFile ini(dir + "/config/Tabulon.ini");
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ini.write("[avoid]\nt04=true\nretired_column=true\n[customName]\ni02=Station state\nr03=Voltage\n");
    ini.close();

    const QString marker = dir + "/sqlDatabase/generated-v" + QString::number(dataVersion);
    if (QFile::exists(marker) && QFile::exists(dbFile))
        return true;
    std::printf("generating %s ...\n", size.name().c_str());
    std::fflush(stdout);
    const QString partial = dbFile + ".partial";
    QFile::remove(partial);
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(partial.toUtf8().constData(), &db) == SQLITE_OK
        && exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN")
        && fillDay(db, size, firstDay, 5u + unsigned(size.rows))
        && fillDay(db, size, secondDay, 6u + unsigned(size.rows)) && exec(db, "COMMIT");
    sqlite3_close(db);
    if (!ok)
        return false;
    QFile::remove(dbFile);
    QFile::remove(dir + "/sqlDatabase/QOR-database-temp.db");
    ok = QFile::rename(partial, dbFile);
    QFile marking(marker);
    return ok && marking.open(QIODevice::WriteOnly);
}

// The least any viewer must do: step through the day and fetch every
// cell's text.
double floorMs(const QString &dbFile)
{
    QElapsedTimer timer;
    timer.start();
    sqlite3 *db = nullptr;
    sqlite3_open_v2(dbFile.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(db, (std::string("SELECT * FROM \"") + firstDay + "\"").c_str(), -1, &statement, nullptr);
    size_t bytes = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const int n = sqlite3_column_count(statement);
        for (int i = 0; i < n; ++i) {
            const unsigned char *text = sqlite3_column_text(statement, i);
            bytes += text ? 1 : 0;
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    const double elapsed = timer.nsecsElapsed() / 1e6;
    if (bytes == 0)
        std::fprintf(stderr, "floor read no cells\n");
    return elapsed;
}

std::map<std::string, double> runChild(const QString &child, const QString &dir, int changes, const std::string &sn)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    if (!env.contains("XDG_RUNTIME_DIR")) {
        const QString runtime = QDir::tempPath() + "/tabulon-bench-runtime";
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("XDG_RUNTIME_DIR", runtime);
    }
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(child, {QString::number(changes), QString::fromStdString(sn)});
    process.waitForFinished(-1);
    std::map<std::string, double> values;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "child failed: %s, exit code %d\n", qPrintable(process.errorString()), process.exitCode());
        return values;
    }
    const QList<QByteArray> lines = process.readAllStandardOutput().split('\n');
    if (lines.isEmpty())
        return values;
    for (const QByteArray &pair : lines.first().split(' ')) {
        const int eq = pair.indexOf('=');
        if (eq > 0)
            values[pair.left(eq).toStdString()] = pair.mid(eq + 1).toDouble();
    }
    return values;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Result {
    Size size;
    double floor, startup, change, lookup, bytesStartup, bytesAfter, growth;
    double startupX, changeX, lookupX;
    double constructed, changeSync, lookupSync;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CHILD DATA_DIR [RUNS] [CHANGES] [SIZE_FILTER]\n", argv[0]);
        return 2;
    }
    // The children run in the data folders, so both paths are made absolute.
    const QString child = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString root = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const int changes = argc > 4 ? std::atoi(argv[4]) : 20;
    const std::string filter = argc > 5 ? argv[5] : "";

    const std::vector<Size> sizes = {{10000, 30}, {50000, 30}, {200000, 30}, {50000, 10}};
    std::vector<Result> results;
    for (const Size &size : sizes) {
        if (!filter.empty() && size.dir() != filter)
            continue;
        if (!prepare(root, size)) {
            std::fprintf(stderr, "could not generate %s\n", size.name().c_str());
            return 1;
        }
        const QString dir = root + "/" + QString::fromStdString(size.dir());
        const std::string sn = snText(firstDay, size.rows / 2);
        std::map<std::string, std::vector<double>> samples;
        for (int run = 0; run < runs; ++run) {
            samples["floor"].push_back(floorMs(dir + "/sqlDatabase/QOR-database.db"));
            const auto values = runChild(child, dir, changes, sn);
            if (values.empty())
                return 1;
            for (const auto &kv : values)
                samples[kv.first].push_back(kv.second);
            // Ratios are taken run by run, against the floor read just before,
            // so that a busy moment weighs on both sides alike.
            const double floor = samples["floor"].back();
            samples["startup_x"].push_back(values.at("startup_ms") / floor);
            samples["change_x"].push_back(values.at("change_ms") / floor);
            samples["lookup_x"].push_back(values.at("lookup_ms") / floor);
            std::printf("  %s run %d: floor %.0f ms, start-up %.0f ms, change %.0f ms, lookup %.0f ms\n",
                size.name().c_str(), run + 1, samples["floor"].back(), samples["startup_ms"].back(),
                samples["change_ms"].back(), samples["lookup_ms"].back());
            std::fflush(stdout);
        }
        Result r{};
        r.size = size;
        r.floor = median(samples["floor"]);
        r.startup = median(samples["startup_ms"]);
        r.constructed = median(samples["constructed_ms"]);
        r.change = median(samples["change_ms"]);
        r.changeSync = median(samples["change_sync_ms"]);
        r.lookup = median(samples["lookup_ms"]);
        r.lookupSync = median(samples["lookup_sync_ms"]);
        r.startupX = median(samples["startup_x"]);
        r.changeX = median(samples["change_x"]);
        r.lookupX = median(samples["lookup_x"]);
        const double cells = median(samples["cells"]);
        if (cells > 0) {
            r.bytesStartup = median(samples["rss_startup_kb"]) * 1024 / cells;
            r.bytesAfter = median(samples["rss_after_changes_kb"]) * 1024 / cells;
        }
        const double after2 = median(samples["rss_after2_kb"]);
        r.growth = after2 > 0 ? median(samples["rss_after_changes_kb"]) / after2 : 0;
        results.push_back(r);
    }

    std::printf("\n%-10s %8s %9s %6s %9s %6s %9s %6s %9s %9s %7s\n", "day", "floor", "start-up", "x", "change", "x",
        "lookup", "x", "B/cell", "B/cell", "growth");
    std::printf("%-10s %8s %9s %6s %9s %6s %9s %6s %9s %9s %7s\n", "", "ms", "ms", "floor", "ms", "floor", "ms",
        "floor", "start", "after", "20 vs 2");
    for (const Result &r : results)
        std::printf("%-10s %8.0f %9.0f %6.2f %9.0f %6.2f %9.0f %6.2f %9.0f %9.0f %7.3f\n", r.size.name().c_str(),
            r.floor, r.startup, r.startupX, r.change, r.changeX, r.lookup, r.lookupX, r.bytesStartup, r.bytesAfter,
            r.growth);
    std::printf("\nMedians of %d runs; each ratio is the median of the runs' own ratios to their floor.\n", runs);
    std::printf("\nInside the calls (ms): construction / date change before its paint / lookup before its paint\n");
    for (const Result &r : results)
        std::printf("%-10s %8.0f %8.0f %8.1f\n", r.size.name().c_str(), r.constructed, r.changeSync, r.lookupSync);

    const Result *small = nullptr, *large = nullptr;
    for (const Result &r : results) {
        if (r.size.cols == 30 && r.size.rows == 10000)
            small = &r;
        if (r.size.cols == 30 && r.size.rows == 200000)
            large = &r;
    }
    if (small && large) {
        auto perRow = [](double ms, const Result *r) {
            return ms * 1000 / r->size.rows;
        };
        std::printf("\nTime per row, 200k vs 10k (x 30): start-up %.2f vs %.2f us (%.2f), date change %.2f vs %.2f us "
                    "(%.2f)\n",
            perRow(large->startup, large), perRow(small->startup, small),
            perRow(large->startup, large) / perRow(small->startup, small), perRow(large->change, large),
            perRow(small->change, small), perRow(large->change, large) / perRow(small->change, small));
    }
    return 0;
}
