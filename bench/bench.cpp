// Benchmark of the day view: generates databases of several kinds (cached),
// measures the floor of reading every cell with SQLite alone, runs the real
// viewer in fresh child processes, and prints medians and ratios. For the
// year-long database it times the viewer's snapshot against cp and rm.
//
// Usage: tabulon_bench CHILD DATA_DIR [RUNS] [CHANGES] [SETS]
// RUNS 0 only generates the sets that are missing.
// SETS: one set name such as 200000x30-distinct, or several separated by
// commas; without it every set but the ones run only by name.

#include "snapshot.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStorageInfo>
#include <QtGlobal>

#include <sqlite3.h>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

const char *const firstDay = "2024-03-05";
const char *const secondDay = "2024-03-06";

// How the values of a day are made.
//  Repeating: the first four sets; about half the cells repeat a value of
//             their column (states, stations, operators, small counters).
//  Distinct:  every value of a column distinct, realistic column names of
//             which half are longer than 15 bytes.
//  LongText:  five columns, one of them sentence-long distinct notes.
enum class Kind { Repeating, Distinct, LongText };

// Bumped whenever the data a kind generates changes, so stale caches are
// made again. Each kind has its own, so that earlier sets stay as they were.
int dataVersion(Kind kind)
{
    switch (kind) {
    case Kind::Repeating:
        return 1;
    case Kind::Distinct:
        return 1;
    case Kind::LongText:
        return 1;
    }
    return 0;
}

std::string markerName(Kind kind)
{
    // The first sets' marker keeps its name, so their caches stay valid.
    static const char *const prefixes[] = {"generated-v", "generated-distinct-v", "generated-text-v"};
    return prefixes[int(kind)] + std::to_string(dataVersion(kind));
}

struct DataSet {
    std::string dir; // folder name, also its name on the command line
    std::string label; // in the printed tables
    Kind kind;
    int rows;
    int cols;
    int days = 2; // day tables in the database
    bool byNameOnly = false; // too big for a full run
    bool viewer = true; // false: only the snapshot is timed
};

const std::vector<DataSet> &dataSets()
{
    static const std::vector<DataSet> sets = {
        {"10000x30", "10k x 30", Kind::Repeating, 10000, 30},
        {"50000x30", "50k x 30", Kind::Repeating, 50000, 30},
        {"200000x30", "200k x 30", Kind::Repeating, 200000, 30},
        {"50000x10", "50k x 10", Kind::Repeating, 50000, 10},
        {"50000x30-distinct", "50k x 30 distinct", Kind::Distinct, 50000, 30},
        {"200000x30-distinct", "200k x 30 distinct", Kind::Distinct, 200000, 30},
        {"800000x5-text", "800k x 5 long text", Kind::LongText, 800000, 5},
        // About 5 GB in the viewer: run only when named.
        {"1000000x30-distinct", "1M x 30 distinct", Kind::Distinct, 1000000, 30, 2, true},
        // 240 days of 50k x 30 distinct; the viewer is not opened.
        {"year", "year: 240 x 50k x 30", Kind::Distinct, 50000, 30, 240, false, false},
    };
    return sets;
}

std::string dayName(const DataSet &set, int day)
{
    if (set.days == 2)
        return day == 0 ? firstDay : secondDay;
    return QDate(2024, 1, 1).addDays(day).toString(QStringLiteral("yyyy-MM-dd")).toStdString();
}

std::string snText(const std::string &day, int row)
{
    char text[40];
    std::snprintf(text, sizeof text, "QOR%.4s%.2s%.2sA%07d", day.c_str(), day.c_str() + 5, day.c_str() + 8, row);
    return text;
}

// Columns of the distinct days, INTEGER, REAL and TEXT in turn from the
// third on; 15 of the 30 names (sn and send included) are longer than 15
// bytes, beyond the short-string buffer of a std::string.
const char *const distinctNames[]
    = {"station_id", "measured_voltage_ch01", "barcode_lot_number", "cycle_count_total", "current_ma", "operator_id",
        "fixture_slot_number", "measured_voltage_ch02", "pcb_serial", "error_code", "insulation_resistance",
        "firmware_version_string", "retry_count", "leak_rate_mbar_per_s", "tray_id", "torque_step_count", "temp_c",
        "supplier_batch_code", "test_seq", "measured_voltage_ch03", "label_text", "operator_badge_id", "weight_g",
        "rework_ticket_number", "pallet_no", "final_torque_newton_m", "camera_image_ref", "line_no"};

const char *const longTextNames[] = {"station", "inspected_weight_g", "operator_note"};
const char *const longTextTypes[] = {"TEXT", "REAL", "TEXT"};

std::string columnName(const DataSet &set, int c)
{
    if (set.kind == Kind::Distinct)
        return distinctNames[c - 2];
    if (set.kind == Kind::LongText)
        return longTextNames[c - 2];
    static const char *const kinds[] = {"i", "r", "t"};
    char name[16];
    std::snprintf(name, sizeof name, "%s%02d", kinds[(c - 2) % 3], c);
    return name;
}

const char *columnType(const DataSet &set, int c)
{
    if (set.kind == Kind::LongText)
        return longTextTypes[c - 2];
    static const char *const types[] = {"INTEGER", "REAL", "TEXT"};
    return types[(c - 2) % 3];
}

// Values like a line's records: integer states and counters of varying
// spread, measurements with four decimals, short status texts, lot numbers.
void bindRepeating(sqlite3_stmt *insert, int c, std::mt19937 &rng)
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

// A bijection of [0, 2^bits) keyed by `key`: xor, odd multiplications and
// right xor-shifts are each invertible there.
uint64_t mixBits(uint64_t x, uint64_t key, int bits)
{
    const uint64_t mask = (uint64_t(1) << bits) - 1;
    x = (x ^ key) & mask;
    x = (x * 0x9E3779B97F4A7C15ull) & mask;
    x ^= x >> (bits / 2);
    x = (x * 0xC2B2AE3D27D4EB4Full) & mask;
    x ^= x >> (bits / 3);
    x = (x * 0x165667B19E3779F9ull) & mask;
    x ^= x >> (bits / 2);
    return x;
}

// Row i's value of a column, distinct for every row below n: the keyed
// bijection walked until it lands below n is a permutation of [0, n).
uint64_t distinctValue(uint64_t row, uint64_t n, uint64_t key, int bits)
{
    uint64_t x = row;
    do
        x = mixBits(x, key, bits);
    while (x >= n);
    return x;
}

uint64_t columnKey(unsigned seed, int c)
{
    return (uint64_t(seed) * 0x9E3779B97F4A7C15ull) ^ (uint64_t(c) * 0xD1B54A32D192ED03ull);
}

// Integers below a million, reals with three decimals below 10,000, and
// texts of 8 to 16 letters and digits: the first eight encode a 47-bit
// bijection of the row (62^8 > 2^47), the rest are random.
void bindDistinct(sqlite3_stmt *insert, int c, int row, unsigned seed, std::mt19937 &rng)
{
    if (rng() % 20 == 0) {
        sqlite3_bind_null(insert, c + 1);
        return;
    }
    const uint64_t key = columnKey(seed, c);
    const int kind = (c - 2) % 3;
    if (kind == 0) {
        sqlite3_bind_int(insert, c + 1, int(distinctValue(uint64_t(row), 1000000, key, 20)));
    } else if (kind == 1) {
        sqlite3_bind_double(insert, c + 1, double(distinctValue(uint64_t(row), 10000000, key, 24)) / 1000.0);
    } else {
        static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        char text[17];
        uint64_t x = mixBits(uint64_t(row), key, 47);
        for (int i = 0; i < 8; ++i, x /= 62)
            text[i] = digits[x % 62];
        const int length = 8 + int(rng() % 9);
        for (int i = 8; i < length; ++i)
            text[i] = digits[rng() % 62];
        sqlite3_bind_text(insert, c + 1, text, length, SQLITE_TRANSIENT);
    }
}

// Words for operator notes and defect descriptions.
const char *const noteWords[] = {"the", "a", "unit", "board", "housing", "cover", "screw", "connector", "cable",
    "harness", "label", "barcode", "display", "panel", "button", "switch", "sensor", "probe", "fixture", "jig",
    "station", "operator", "shift", "line", "tray", "pallet", "lot", "batch", "supplier", "sample", "retest", "rework",
    "repair", "scrap", "hold", "release", "inspection", "visual", "check", "test", "result", "reading", "value",
    "limit", "upper", "lower", "tolerance", "deviation", "offset", "drift", "noise", "signal", "voltage", "current",
    "resistance", "insulation", "leak", "pressure", "temperature", "humidity", "torque", "force", "weight", "gap",
    "flatness", "height", "width", "length", "diameter", "thread", "pin", "pad", "solder", "joint", "bridge", "void",
    "crack", "scratch", "dent", "chip", "burr", "stain", "dust", "residue", "flux", "glue", "coating", "paint",
    "bubble", "warp", "bend", "twist", "misaligned", "missing", "loose", "tight", "broken", "bent", "cold", "dry",
    "wet", "short", "open", "intermittent", "failed", "passed", "marginal", "unstable", "stable", "high", "low",
    "slightly", "clearly", "visible", "under", "microscope", "after", "before", "during", "between", "near", "corner",
    "edge", "left", "right", "top", "bottom", "front", "rear", "side", "inner", "outer", "first", "second", "third",
    "again", "twice", "once", "not", "no", "found", "observed", "reported", "confirmed", "suspected", "replaced",
    "reseated", "cleaned", "adjusted", "calibrated", "tightened", "reflowed", "resoldered", "measured", "remeasured",
    "recorded", "logged", "escalated", "informed", "quality", "engineer", "supervisor", "technician", "maintenance",
    "team", "ticket", "opened", "closed", "pending", "approved", "rejected", "deviation", "request", "customer",
    "complaint", "return", "field", "failure", "analysis", "root", "cause", "unknown", "likely", "due", "to", "from",
    "on", "in", "at", "with", "without", "and", "or", "but", "then", "while", "because", "of", "for", "by", "per",
    "instruction", "procedure", "step", "work", "order", "revision", "drawing", "datasheet", "new", "old", "spare",
    "part", "component", "capacitor", "resistor", "inductor", "diode", "transistor", "relay", "fuse", "battery", "cell",
    "module", "firmware", "software", "version", "update", "flash", "program", "boot", "timeout", "error", "code",
    "alarm", "warning", "stop", "start", "cycle", "count", "time", "minutes", "seconds", "hours", "day", "night",
    "morning", "vacuum", "nozzle", "feeder", "reel", "tape", "oven", "profile", "zone", "conveyor", "belt", "camera",
    "image", "focus", "light", "lens", "scanner", "printer", "stencil", "paste", "squeegee", "press", "gripper",
    "robot", "arm", "axis", "motor", "encoder", "spring", "clip", "latch", "hinge", "gasket", "seal", "o-ring", "foam",
    "tape", "film", "foil", "shield", "ground", "wire", "crimp", "terminal", "socket", "plug", "port", "usb", "antenna",
    "speaker", "microphone", "vibration", "sound", "rattle", "smell", "smoke", "overheat", "shorted", "flickers",
    "blank", "dim", "bright", "color", "pixel", "line", "stuck", "slow", "fast", "wrong", "correct", "ok", "ng", "pass",
    "fail"};

// One sentence of 100 to 300 characters made of random words.
std::string noteText(std::mt19937 &rng)
{
    const size_t wordCount = sizeof noteWords / sizeof noteWords[0];
    const size_t target = 100 + rng() % 186; // the last word may add 14 more
    std::string text;
    while (text.size() < target) {
        if (!text.empty())
            text += rng() % 9 == 0 ? ", " : " ";
        text += noteWords[rng() % wordCount];
    }
    text[0] = char(std::toupper(static_cast<unsigned char>(text[0])));
    text += '.';
    return text;
}

// station (repeating), a weight with three decimals (distinct), a note
// (distinct: a repeated sentence is drawn again).
void bindLongText(
    sqlite3_stmt *insert, int c, int row, unsigned seed, std::mt19937 &rng, std::unordered_set<size_t> &notesSeen)
{
    if (rng() % 20 == 0) {
        sqlite3_bind_null(insert, c + 1);
        return;
    }
    if (c == 2) {
        char text[16];
        std::snprintf(text, sizeof text, "ST-%02u", unsigned(1 + rng() % 12));
        sqlite3_bind_text(insert, c + 1, text, -1, SQLITE_TRANSIENT);
    } else if (c == 3) {
        const uint64_t value = distinctValue(uint64_t(row), 10000000, columnKey(seed, c), 24);
        sqlite3_bind_double(insert, c + 1, double(value) / 1000.0);
    } else {
        std::string note = noteText(rng);
        while (!notesSeen.insert(std::hash<std::string>()(note)).second)
            note = noteText(rng);
        sqlite3_bind_text(insert, c + 1, note.c_str(), int(note.size()), SQLITE_TRANSIENT);
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

bool fillDay(sqlite3 *db, const DataSet &set, const std::string &day, unsigned seed)
{
    std::string create = "CREATE TABLE \"" + day + "\" (sn TEXT, send INTEGER";
    std::string insertSql = "INSERT INTO \"" + day + "\" VALUES (?,?";
    for (int c = 2; c < set.cols; ++c) {
        create += ", " + columnName(set, c) + " " + columnType(set, c);
        insertSql += ",?";
    }
    if (!exec(db, create + ")"))
        return false;
    sqlite3_stmt *insert = nullptr;
    if (sqlite3_prepare_v2(db, (insertSql + ")").c_str(), -1, &insert, nullptr) != SQLITE_OK)
        return false;
    std::mt19937 rng(seed);
    std::unordered_set<size_t> notesSeen;
    bool ok = true;
    for (int r = 0; r < set.rows && ok; ++r) {
        const std::string sn = snText(day, r);
        sqlite3_bind_text(insert, 1, sn.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 2, int(rng() % 2));
        for (int c = 2; c < set.cols; ++c) {
            if (set.kind == Kind::Repeating)
                bindRepeating(insert, c, rng);
            else if (set.kind == Kind::Distinct)
                bindDistinct(insert, c, r, seed, rng);
            else
                bindLongText(insert, c, r, seed, rng, notesSeen);
        }
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    return ok;
}

unsigned daySeed(const DataSet &set, int day)
{
    // The first sets keep the seeds they were generated with.
    if (set.kind == Kind::Repeating)
        return unsigned(5 + day) + unsigned(set.rows);
    return 1000u * unsigned(int(set.kind) + 1) + 7919u * unsigned(day) + unsigned(set.rows);
}

// Rough size on disk, to refuse a set that cannot fit.
double estimatedBytes(const DataSet &set)
{
    const double perRow = set.kind == Kind::LongText ? 260 : set.kind == Kind::Distinct ? 300 : 160;
    return perRow * set.rows * set.days * (set.kind == Kind::Repeating ? set.cols / 30.0 : 1.0);
}

// The working directory a child runs in: the database with its days (the
// first day first in schema order) and a configuration that hides one
// column (none of the long-text day's), names one that no day has, and
// renames two.
bool prepare(const QString &root, const DataSet &set)
{
    const QString dir = root + "/" + QString::fromStdString(set.dir);
    const QString dbFile = dir + "/sqlDatabase/QOR-database.db";
    QDir().mkpath(dir + "/sqlDatabase");
    QDir().mkpath(dir + "/config");
    QFile ini(dir + "/config/Tabulon.ini");
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        // The long-text day shows all its columns, the note above all.
        const std::string text = set.kind == Kind::LongText
            ? "[avoid]\nretired_column=true\n[customName]\nstation=Station\noperator_note=Note\n"
            : "[avoid]\n" + columnName(set, 4) + "=true\nretired_column=true\n[customName]\n" + columnName(set, 2)
                + "=Station state\n" + columnName(set, 3) + "=Voltage\n";
        ini.write(text.c_str());
    }
    ini.close();

    const QString marker = dir + "/sqlDatabase/" + QString::fromStdString(markerName(set.kind));
    if (QFile::exists(marker) && QFile::exists(dbFile))
        return true;
    // Each database is copied beside itself: the viewer's snapshot, or cp.
    const double needed = estimatedBytes(set) * 2.2;
    const double available = double(QStorageInfo(dir).bytesAvailable());
    if (available < needed) {
        std::fprintf(stderr, "%s needs about %.1f GB on disk, %.1f GB are free\n", set.dir.c_str(), needed / 1e9,
            available / 1e9);
        return false;
    }
    std::printf("generating %s ...\n", set.label.c_str());
    std::fflush(stdout);
    QElapsedTimer timer;
    timer.start();
    const QString partial = dbFile + ".partial";
    QFile::remove(partial);
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(partial.toUtf8().constData(), &db) == SQLITE_OK
        && exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN");
    for (int day = 0; day < set.days && ok; ++day)
        ok = fillDay(db, set, dayName(set, day), daySeed(set, day));
    ok = ok && exec(db, "COMMIT");
    sqlite3_close(db);
    if (!ok)
        return false;
    QFile::remove(dbFile);
    QFile::remove(dir + "/sqlDatabase/QOR-database-temp.db");
    ok = QFile::rename(partial, dbFile);
    for (const QString &old : QDir(dir + "/sqlDatabase").entryList({"generated-*"}, QDir::Files))
        QFile::remove(dir + "/sqlDatabase/" + old);
    QFile marking(marker);
    std::printf("generated %s in %.1f s: %.0f MB\n", set.label.c_str(), timer.elapsed() / 1000.0,
        QFileInfo(dbFile).size() / 1e6);
    std::fflush(stdout);
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

// A child viewer in the set's folder, offscreen.
void prepareChild(QProcess &process, const QString &dir)
{
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
}

std::map<std::string, double> parseFigures(const QByteArray &line)
{
    std::map<std::string, double> values;
    for (const QByteArray &pair : line.trimmed().split(' ')) {
        const int eq = pair.indexOf('=');
        if (eq > 0)
            values[pair.left(eq).toStdString()] = pair.mid(eq + 1).toDouble();
    }
    return values;
}

bool childSucceeded(QProcess &process)
{
    process.waitForFinished(-1);
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    std::fprintf(stderr, "child failed: %s, exit code %d\n", qPrintable(process.errorString()), process.exitCode());
    return false;
}

// The child's figures: the first of its lines that holds key=value pairs.
std::map<std::string, double> childFigures(QProcess &process)
{
    if (!childSucceeded(process))
        return {};
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        if (line.contains('='))
            return parseFigures(line);
    }
    return {};
}

// The child's next line of output; empty once it has ended.
QByteArray nextLine(QProcess &process)
{
    while (!process.canReadLine() && process.waitForReadyRead(-1)) { }
    return process.readLine();
}

std::map<std::string, double> runChild(const QString &child, const QString &dir, int changes, const std::string &sn)
{
    QProcess process;
    prepareChild(process, dir);
    process.start(child, {QString::number(changes), QString::fromStdString(sn)});
    return childFigures(process);
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
    const DataSet *set;
    double floor, startup, change, lookup, bytesStartup, bytesAfter, growth;
    double startupX, changeX, lookupX;
    double constructed, changeSync, lookupSync;
};

bool runViewer(const QString &child, const QString &root, const DataSet &set, int runs, int changes, Result &r)
{
    const QString dir = root + "/" + QString::fromStdString(set.dir);
    const std::string sn = snText(firstDay, set.rows / 2);
    std::map<std::string, std::vector<double>> samples;
    for (int run = 0; run < runs; ++run) {
        samples["floor"].push_back(floorMs(dir + "/sqlDatabase/QOR-database.db"));
        const auto values = runChild(child, dir, changes, sn);
        if (values.empty())
            return false;
        for (const auto &kv : values)
            samples[kv.first].push_back(kv.second);
        // Ratios are taken run by run, against the floor read just before,
        // so that a busy moment weighs on both sides alike.
        const double floor = samples["floor"].back();
        samples["startup_x"].push_back(values.at("startup_ms") / floor);
        samples["change_x"].push_back(values.at("change_ms") / floor);
        samples["lookup_x"].push_back(values.at("lookup_ms") / floor);
        std::printf("  %s run %d: floor %.0f ms, start-up %.0f ms, change %.0f ms, lookup %.0f ms, peak %.0f MB\n",
            set.label.c_str(), run + 1, samples["floor"].back(), samples["startup_ms"].back(),
            samples["change_ms"].back(), samples["lookup_ms"].back(), values.at("rss_after_changes_kb") / 1024);
        std::fflush(stdout);
    }
    r = Result{};
    r.set = &set;
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
    return true;
}

// Dirty pages of one copy are written out before the next step is timed,
// so no step pays for the one before it.
void flushDisk()
{
#ifdef Q_OS_UNIX
    ::sync();
#endif
}

// The snapshot as F5 meets it: one is there and is replaced, removed and
// taken again, with the disk written out before. -1 if it fails.
double replaceSnapshotMs(const QString &dir)
{
    const QString source = dir + "/sqlDatabase/QOR-database.db";
    const QString target = dir + "/sqlDatabase/QOR-database-temp.db";
    if (takeSnapshot(source, target) == SnapshotResult::Failed)
        return -1;
    flushDisk();
    QElapsedTimer timer;
    timer.start();
    removeSnapshot(target.toStdString());
    const bool taken = takeSnapshot(source, target) != SnapshotResult::Failed;
    const double elapsed = timer.nsecsElapsed() / 1e6;
    removeSnapshot(target.toStdString());
    return taken ? elapsed : -1;
}

// F5 against a restart of the viewer, and Ctrl+A then Ctrl+C of the whole
// day, in fresh viewers. The restart is timed from outside, as an operator
// meets it: closing a viewer that shows the day (until its process has
// ended) plus starting one (until its first paint).
bool runKeys(const QString &child, const QString &root, const DataSet &set, int runs, int presses)
{
    const QString dir = root + "/" + QString::fromStdString(set.dir);
    std::map<std::string, std::vector<double>> samples;
    for (int run = 0; run < runs; ++run) {
        QProcess process;
        prepareChild(process, dir);
        const double snapshot = replaceSnapshotMs(dir);
        if (snapshot < 0)
            return false;
        flushDisk();
        QElapsedTimer timer;
        timer.start();
        process.start(child, {QStringLiteral("0"), QString(), QStringLiteral("keys"), QString::number(presses)});
        const bool painted = nextLine(process).trimmed() == "painted";
        const double start = timer.nsecsElapsed() / 1e6;
        if (!painted) {
            std::fprintf(stderr, "the child did not paint\n");
            return false;
        }
        const auto v = parseFigures(nextLine(process));
        // After its figures the child closes as the viewer does: the window
        // and its grid destroyed, the snapshot removed, the process ended.
        timer.restart();
        if (!childSucceeded(process) || v.count("refresh_ms") == 0)
            return false;
        const double close = timer.nsecsElapsed() / 1e6;
        const double restart = close + start;
        const double snapshotAndChange = snapshot + v.at("change_ms");
        samples["restart"].push_back(restart);
        samples["close"].push_back(close);
        samples["start"].push_back(start);
        samples["refresh"].push_back(v.at("refresh_ms"));
        samples["snapshot"].push_back(snapshot);
        samples["change"].push_back(v.at("change_ms"));
        samples["refresh x restart"].push_back(v.at("refresh_ms") / restart);
        samples["refresh x snapshot+change"].push_back(v.at("refresh_ms") / snapshotAndChange);
        samples["copy"].push_back(v.at("copy_ms"));
        samples["copy x change"].push_back(v.at("copy_ms") / v.at("change_ms"));
        samples["copy peak"].push_back(v.at("copy_peak_kb") / 1024);
        samples["rss growth"].push_back(v.at("rss_refresh_last_kb") / v.at("rss_refresh5_kb"));
        samples["files gained"].push_back(v.at("files_refresh_last") - v.at("files_refresh5"));
        std::printf("  %s run %d: restart %.0f ms (close %.0f + start %.0f), F5 %.0f ms (snapshot %.0f + change %.0f), copy %.0f ms "
                    "(%.0f MB more at its peak, %.0f characters), resident %.0f MB after F5 #5, %.0f MB after "
                    "#%.0f, files %.0f then %.0f\n",
            set.label.c_str(), run + 1, restart, close, start, v.at("refresh_ms"), snapshot, v.at("change_ms"),
            v.at("copy_ms"), v.at("copy_peak_kb") / 1024, v.at("copied_chars"), v.at("rss_refresh5_kb") / 1024,
            v.at("rss_refresh_last_kb") / 1024, v.at("refreshes"), v.at("files_refresh5"), v.at("files_refresh_last"));
        std::fflush(stdout);
    }
    auto m = [&](const char *key) {
        return median(samples[key]);
    };
    std::printf("\n%s, medians of %d fresh viewers, %d F5 presses each:\n", set.label.c_str(), runs, presses);
    std::printf("  F5 %6.0f ms   restart %6.0f ms (close %.0f + start %.0f)   x restart %5.2f (goal < 1)   "
                "x (snapshot %.0f + change %.0f) %5.2f (goal 1.10)\n",
        m("refresh"), m("restart"), m("close"), m("start"), m("refresh x restart"), m("snapshot"), m("change"), m("refresh x snapshot+change"));
    std::printf("  Ctrl+A, Ctrl+C %6.0f ms   x change %5.2f (goal 2)   %.0f MB more at its peak\n", m("copy"),
        m("copy x change"), m("copy peak"));
    std::printf("  resident after the last F5 / after the 5th %5.3f (goal 1.05)   files gained %.0f (goal 0)\n",
        m("rss growth"), m("files gained"));
    return true;
}

// CPU time (user and system) of this process, or of its finished children,
// in ms: less disturbed than the wall clock by other work on the machine.
// 0 where it is not known.
double cpuMs(bool children)
{
#ifdef Q_OS_UNIX
    rusage usage{};
    getrusage(children ? RUSAGE_CHILDREN : RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
#else
    Q_UNUSED(children)
    return 0;
#endif
}

struct Timing {
    double wallMs = -1;
    double cpuMs = 0;
};

// Runs a program to its end; a negative wall time when it could not run or
// failed.
Timing timedProcess(const QString &program, const QStringList &arguments)
{
    Timing timing;
    const double cpuBefore = cpuMs(true);
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), qPrintable(process.errorString()));
        return timing;
    }
    timing.wallMs = timer.nsecsElapsed() / 1e6;
    timing.cpuMs = cpuMs(true) - cpuBefore;
    return timing;
}

template <typename Step> Timing timedCall(Step step)
{
    Timing timing;
    const double cpuBefore = cpuMs(false);
    QElapsedTimer timer;
    timer.start();
    step();
    timing.wallMs = timer.nsecsElapsed() / 1e6;
    timing.cpuMs = cpuMs(false) - cpuBefore;
    return timing;
}

// The year-long database: the viewer's snapshot taken and removed, against
// cp and rm of the same file, alternating, with the file in the page cache.
bool runSnapshot(const QString &root, const DataSet &set)
{
    const int runs = 3;
    const QString source = root + "/" + QString::fromStdString(set.dir) + "/sqlDatabase/QOR-database.db";
    const QString target = QString(source).insert(source.lastIndexOf(QStringLiteral(".db")), QStringLiteral("-temp"));
    const qint64 size = QFileInfo(source).size();
    removeSnapshot(target.toStdString());

    QElapsedTimer timer;
    timer.start();
    QFile warm(source);
    if (!warm.open(QIODevice::ReadOnly))
        return false;
    while (!warm.read(8 << 20).isEmpty()) { }
    warm.close();
    std::printf("  %s: %.0f MB, read once in %.0f ms to warm the page cache\n", set.label.c_str(), size / 1e6,
        timer.nsecsElapsed() / 1e6);

    std::map<std::string, std::vector<double>> ms;
    for (int run = 0; run < runs; ++run) {
        SnapshotResult taken = SnapshotResult::Failed;
        flushDisk();
        const Timing snapshot = timedCall([&] {
            taken = takeSnapshot(source, target);
        });
        if (taken == SnapshotResult::Failed || QFileInfo(target).size() != size) {
            std::fprintf(stderr, "the snapshot failed or has the wrong size (%lld of %lld bytes)\n",
                QFileInfo(target).size(), size);
            return false;
        }
        flushDisk();
        const Timing remove = timedCall([&] {
            removeSnapshot(target.toStdString());
        });
        if (QFile::exists(target)) {
            std::fprintf(stderr, "the snapshot was not removed\n");
            return false;
        }

        flushDisk();
        const Timing cp = timedProcess(QStringLiteral("cp"), {source, target});
        if (cp.wallMs < 0 || QFileInfo(target).size() != size) {
            std::fprintf(stderr, "cp failed or made a copy of the wrong size\n");
            return false;
        }
        flushDisk();
        const Timing rm = timedProcess(QStringLiteral("rm"), {target});
        if (rm.wallMs < 0)
            return false;

        ms["snapshot"].push_back(snapshot.wallMs);
        ms["snapshot cpu"].push_back(snapshot.cpuMs);
        ms["cp"].push_back(cp.wallMs);
        ms["cp cpu"].push_back(cp.cpuMs);
        ms["remove"].push_back(remove.wallMs);
        ms["rm"].push_back(rm.wallMs);
        ms["snapshot x"].push_back(snapshot.wallMs / cp.wallMs);
        ms["snapshot cpu x"].push_back(cp.cpuMs > 0 ? snapshot.cpuMs / cp.cpuMs : 0);
        ms["remove x"].push_back(remove.wallMs / rm.wallMs);
        std::printf("  %s run %d: snapshot %.0f ms (cpu %.0f), cp %.0f ms (cpu %.0f), remove %.1f ms, rm %.1f ms\n",
            set.label.c_str(), run + 1, snapshot.wallMs, snapshot.cpuMs, cp.wallMs, cp.cpuMs, remove.wallMs, rm.wallMs);
        std::fflush(stdout);
    }
    std::printf("\n%s, %.0f MB in the page cache, medians of %d alternating runs; each ratio is the median of the "
                "runs' own ratios:\n",
        set.label.c_str(), size / 1e6, runs);
    std::printf("  take snapshot %8.0f ms   cp %8.0f ms   x cp %5.2f   (cpu %.0f vs %.0f ms, x %.2f)\n",
        median(ms["snapshot"]), median(ms["cp"]), median(ms["snapshot x"]), median(ms["snapshot cpu"]),
        median(ms["cp cpu"]), median(ms["snapshot cpu x"]));
    std::printf("  remove        %8.1f ms   rm %8.1f ms   x rm %5.2f\n", median(ms["remove"]), median(ms["rm"]),
        median(ms["remove x"]));
    return true;
}

// The keys on the 200k x 30 distinct day (50 F5 presses a viewer) and on
// the year-long database (5: each copies 3 GB), or on the sets named.
int runKeysSets(const QString &child, const QString &root, int runs, const QString &names)
{
    const QStringList wanted = names.isEmpty() ? QStringList{"200000x30-distinct", "year"} : names.split(',');
    for (const DataSet &set : dataSets()) {
        if (!wanted.contains(QString::fromStdString(set.dir)))
            continue;
        if (!prepare(root, set) || !runKeys(child, root, set, runs, set.days > 2 ? 5 : 50))
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CHILD DATA_DIR [RUNS] [CHANGES] [SET[,SET...]]\n", argv[0]);
        return 2;
    }
    // The children run in the data folders, so both paths are made absolute.
    const QString child = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString root = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    if (argc > 3 && std::string(argv[3]) == "keys")
        return runKeysSets(child, root, argc > 4 ? std::max(1, std::atoi(argv[4])) : 3,
            argc > 5 ? QString::fromLocal8Bit(argv[5]) : QString());
    // 0 runs: only generate what is missing.
    const int runs = argc > 3 ? std::max(0, std::atoi(argv[3])) : 5;
    const int changes = argc > 4 ? std::atoi(argv[4]) : 20;
    const QStringList filter
        = argc > 5 ? QString::fromLocal8Bit(argv[5]).split(',', Qt::SkipEmptyParts) : QStringList();
    for (const QString &name : filter) {
        const auto &sets = dataSets();
        if (std::none_of(sets.begin(), sets.end(), [&](const DataSet &s) {
                return s.dir == name.toStdString();
            })) {
            std::fprintf(stderr, "unknown set %s; the sets are:", qPrintable(name));
            for (const DataSet &s : sets)
                std::fprintf(stderr, " %s", s.dir.c_str());
            std::fprintf(stderr, "\n");
            return 2;
        }
    }

    std::vector<Result> results;
    const DataSet *year = nullptr;
    for (const DataSet &set : dataSets()) {
        const bool named = filter.contains(QString::fromStdString(set.dir));
        if (filter.isEmpty() ? set.byNameOnly : !named)
            continue;
        if (!prepare(root, set)) {
            std::fprintf(stderr, "could not generate %s\n", set.label.c_str());
            return 1;
        }
        if (runs == 0)
            continue;
        if (!set.viewer) {
            year = &set;
            continue;
        }
        Result r{};
        QElapsedTimer timer;
        timer.start();
        if (!runViewer(child, root, set, runs, changes, r))
            return 1;
        std::printf("  %s: %d runs in %.0f s\n", set.label.c_str(), runs, timer.elapsed() / 1000.0);
        results.push_back(r);
    }

    if (!results.empty()) {
        std::printf("\n%-20s %7s %8s %6s %8s %6s %7s %6s %7s %7s %7s\n", "day", "floor", "start-up", "x", "change", "x",
            "lookup", "x", "B/cell", "B/cell", "growth");
        std::printf("%-20s %7s %8s %6s %8s %6s %7s %6s %7s %7s %7s\n", "", "ms", "ms", "floor", "ms", "floor", "ms",
            "floor", "start", "after", "20 vs 2");
        for (const Result &r : results)
            std::printf("%-20s %7.0f %8.0f %6.2f %8.0f %6.2f %7.0f %6.2f %7.0f %7.0f %7.3f\n", r.set->label.c_str(),
                r.floor, r.startup, r.startupX, r.change, r.changeX, r.lookup, r.lookupX, r.bytesStartup, r.bytesAfter,
                r.growth);
        std::printf("\nMedians of %d runs of %d date changes; each ratio is the median of the runs' own ratios to "
                    "their floor.\n",
            runs, changes);
        std::printf("\nInside the calls (ms): construction / date change before its paint / lookup before its paint;"
                    "\nper row (us): start-up / date change\n");
        for (const Result &r : results)
            std::printf("%-20s %8.0f %8.0f %8.1f   %8.2f %8.2f\n", r.set->label.c_str(), r.constructed, r.changeSync,
                r.lookupSync, r.startup * 1000 / r.set->rows, r.change * 1000 / r.set->rows);
    }

    auto find = [&](const std::string &dir) -> const Result * {
        for (const Result &r : results) {
            if (r.set->dir == dir)
                return &r;
        }
        return nullptr;
    };
    auto comparePerRow = [](const char *title, const Result *large, const Result *small) {
        if (!large || !small)
            return;
        auto perRow = [](double ms, const Result *r) {
            return ms * 1000 / r->set->rows;
        };
        std::printf("\nTime per row, %s: start-up %.2f vs %.2f us (%.2f), date change %.2f vs %.2f us (%.2f)\n", title,
            perRow(large->startup, large), perRow(small->startup, small),
            perRow(large->startup, large) / perRow(small->startup, small), perRow(large->change, large),
            perRow(small->change, small), perRow(large->change, large) / perRow(small->change, small));
    };
    comparePerRow("200k vs 10k (x 30)", find("200000x30"), find("10000x30"));
    comparePerRow("1M vs 200k (x 30 distinct)", find("1000000x30-distinct"), find("200000x30-distinct"));

    QElapsedTimer timer;
    timer.start();
    if (year && !runSnapshot(root, *year))
        return 1;
    if (year)
        std::printf("  %s: done in %.0f s\n", year->label.c_str(), timer.elapsed() / 1000.0);
    return 0;
}
