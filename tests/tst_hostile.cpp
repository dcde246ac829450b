#include "Tabulon.h"
#include "testsupport.h"

#include <QComboBox>
#include <QDirIterator>
#include <QHeaderView>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTableWidget>
#include <QtTest>

#include <functional>
#include <iostream>

using namespace testsupport;

using Prepare = std::function<void()>;
Q_DECLARE_METATYPE(Prepare)

namespace {

const char dayTable[] = "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, result TEXT, value REAL);"
                        "INSERT INTO \"2024-03-05\" VALUES('A1', 0, 'OK', 1.5), ('A2', 1, 'NG', NULL);";

std::string quotedName(const std::string &name)
{
    std::string quoted = "\"";
    for (char c : name)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

void makeDatabase(const std::string &sql)
{
    const std::string error = makeSourceDatabase(sql);
    if (!error.empty())
        qFatal("cannot build the database: %s", error.c_str());
}

// The day table, then a second one under the given name holding 'A1' with
// other values, so that choosing it in the selector shows a change.
Prepare secondTableNamed(const std::string &name)
{
    return [name] {
        makeDatabase(std::string(dayTable) + "CREATE TABLE " + quotedName(name)
            + "(sn TEXT, send INTEGER, result TEXT); INSERT INTO " + quotedName(name) + " VALUES('A1', 0, 'other');");
    };
}

// A database of many pages, for the damage cases.
void makeLargeDatabase()
{
    makeDatabase(std::string(dayTable)
        + "CREATE TABLE \"2024-03-06\"(sn TEXT, send INTEGER, result TEXT);"
          "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
          "INSERT INTO \"2024-03-06\" SELECT 'B' || i, 0, 'result of unit ' || i FROM n;");
}

Prepare damaged(void (*damage)(QByteArray &))
{
    return [damage] {
        makeLargeDatabase();
        QByteArray bytes = fileBytes(sourcePath());
        damage(bytes);
        writeBytes(sourcePath(), bytes);
    };
}

void dayDatabase()
{
    makeDatabase(dayTable);
}

void emptySource()
{
    writeBytes(sourcePath(), QByteArray());
}

void textSource()
{
    writeBytes(sourcePath(), QByteArray("sn,send,result\nA1,0,OK\n").repeated(200));
}

void textSourceWithWal()
{
    writeBytes(sourcePath(), QByteArray("not a database\n").repeated(100));
    writeBytes(QString::fromLatin1(sourcePath()) + "-wal", QByteArray("neither is this\n").repeated(10));
}

void truncateMidPage(QByteArray &bytes)
{
    bytes.truncate(bytes.size() / 2 + 2048);
}

void overwritePages(QByteArray &bytes)
{
    for (int i = 3 * 4096; i < 6 * 4096; ++i)
        bytes[i] = char(0xa5);
}

void megabyteValue()
{
    makeDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, result TEXT);"
                 "INSERT INTO \"2024-03-05\" VALUES('A1', 0, printf('%.*c', 1048576, 'x'));");
}

void blobWithZeros()
{
    makeDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, result BLOB);"
                 "INSERT INTO \"2024-03-05\" VALUES('A1', 0, x'41004200');");
}

void fiveHundredColumns()
{
    std::string columns = "sn TEXT, send INTEGER";
    for (int i = 3; i <= 500; ++i)
        columns += ", c" + std::to_string(i) + " INTEGER DEFAULT " + std::to_string(i);
    makeDatabase("CREATE TABLE \"2024-03-05\"(" + columns + "); INSERT INTO \"2024-03-05\"(sn, send) VALUES('A1', 0);");
}

void nullRow()
{
    makeDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, result TEXT);"
                 "INSERT INTO \"2024-03-05\" VALUES(NULL, NULL, NULL);");
}

Prepare withConfig(const QByteArray &config)
{
    return [config] {
        makeDatabase(dayTable);
        writeBytes("config/Tabulon.ini", config);
    };
}

QByteArray tenMegabyteConfig()
{
    QByteArray config = "[avoid]\nsend = true\n[customName]\nresult = Verdict\n";
    for (int i = 0; config.size() < 10 * 1024 * 1024; ++i)
        config += "column" + QByteArray::number(i) + " = display name " + QByteArray::number(i) + "\n";
    return config;
}

QByteArray binaryConfig()
{
    QByteArray bytes(64 * 1024, '\0');
    QRandomGenerator generator(20240305);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return "[customName]\nresult = Verdict\n" + bytes + "\n[avoid]\nsend = true\n";
}

// Long texts by their length, control characters escaped, so that a summary
// stays one readable line.
QString shorten(const QString &text)
{
    QString shown;
    for (QChar c : text.left(24))
        shown += c.isPrint() ? QString(c) : QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    return text.size() > 24 ? shown + QStringLiteral("…(%1 chars)").arg(text.size()) : shown;
}

QString shortList(const QStringList &items)
{
    QStringList shown;
    for (const QString &item : items.mid(0, 5))
        shown << shorten(item);
    if (items.size() > 5)
        shown << QStringLiteral("…(%1 in all)").arg(items.size());
    return shown.join(QLatin1Char('|'));
}

// What the operator sees: the date list, the grid's size, its header and
// its first row.
QString describe(QWidget &window)
{
    auto *combo = window.findChild<QComboBox *>();
    auto *grid = window.findChild<QTableWidget *>();
    if (!combo || !grid)
        return QStringLiteral("no panel");
    QStringList dates;
    for (int i = 0; i < combo->count(); ++i)
        dates << combo->itemText(i);
    QStringList header;
    QStringList first;
    for (int c = 0; c < grid->columnCount(); ++c) {
        const QTableWidgetItem *head = grid->horizontalHeaderItem(c);
        header << (head ? head->text() : QString());
        const QTableWidgetItem *cell = grid->rowCount() > 0 ? grid->item(0, c) : nullptr;
        first << (cell ? cell->text() : QStringLiteral("-"));
    }
    return QStringLiteral("dates [%1] grid %2x%3 [%4] [%5]")
        .arg(shortList(dates))
        .arg(grid->rowCount())
        .arg(grid->columnCount())
        .arg(shortList(header))
        .arg(shortList(first));
}

// Notices that come whatever the program does, so they are not its own: the
// offscreen platform does not implement propagateSizeHints() and says so for
// every window shown, and Qt warns where the session has no runtime folder
// (XDG_RUNTIME_DIR, unset in a headless run). Matched by their exact text;
// the folder is only known at run time (initTestCase).
QStringList &platformNotices()
{
    static QStringList notices;
    return notices;
}

// Everything the program says: standard output and error and the Qt log,
// line by line, without the platform's notices.
class Console {
public:
    QStringList lines() const
    {
        const std::string streams = out.text() + err.text() + clog.text();
        QStringList all = QString::fromStdString(streams).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const LogLine &line : log.lines)
            all << line.message;
        QStringList program;
        for (const QString &line : all) {
            if (!platformNotices().contains(line))
                program << line;
        }
        return program;
    }

private:
    StreamCapture out{std::cout};
    StreamCapture err{std::cerr};
    StreamCapture clog{std::clog};
    LogCapture log;
};

// Console lines for the test log, each cut short.
QString summary(const QStringList &said)
{
    QStringList lines;
    for (const QString &line : said)
        lines << (line.size() > 100 ? line.left(100) + QStringLiteral("…(%1 chars)").arg(line.size()) : line);
    return lines.isEmpty() ? QStringLiteral("(nothing)") : lines.join(QStringLiteral(" / "));
}

// Paints the window as the operator would see it.
void paint(QWidget &window)
{
    window.grab();
}

} // namespace

class tst_hostile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void hostileInput_data();
    void hostileInput();
    void readOnlyWorkingDirectory();
    void sourceUnderExclusiveLock_data();
    void sourceUnderExclusiveLock();
};

void tst_hostile::initTestCase()
{
    // Asking for the folder repeats the notice, here where it is not checked.
    LogCapture quiet;
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    platformNotices() = QStringList{QStringLiteral("This plugin does not support propagateSizeHints()"),
        QStringLiteral("QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '%1'").arg(runtime)};
}

void tst_hostile::hostileInput_data()
{
    QTest::addColumn<Prepare>("prepare");
    QTest::addColumn<int>("choose");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");

    const QString noSn;
    // The program must say nothing at all.
    const QString silent;
    const QString sqlError = QStringLiteral("SQL error: ");
    const QString nothing = QStringLiteral("dates [] grid 0x0 [] []");
    const QString dayShown = QStringLiteral("dates [2024-03-05] grid 2x3 [SN|result|value] [A1|OK|1.5]");
    const QString notFound = QStringLiteral("dates [2024-03-05] grid 1x0 [] []");

    // Damaged sources.
    QTest::newRow("source empty (0 bytes)")
        << Prepare(emptySource) << -1 << noSn << sqlError + "no such table: " << nothing;
    QTest::newRow("source plain text") << Prepare(textSource) << -1 << noSn << sqlError + "file is not a database"
                                       << nothing;
    QTest::newRow("source plain text, stray -wal")
        << Prepare(textSourceWithWal) << -1 << noSn << sqlError + "file is not a database" << nothing;
    QTest::newRow("source truncated mid-page")
        << damaged(truncateMidPage) << -1 << noSn << sqlError + "database disk image is malformed" << nothing;
    QTest::newRow("source with damaged pages")
        << damaged(overwritePages) << 1 << noSn << sqlError + "database disk image is malformed"
        << "dates [2024-03-05|2024-03-06] grid 0x0 [] []";

    // Table names that must neither break the statement nor run as one.
    for (const char *name : {"it's a day", "say \"hi\"", "  2024 03 05  ", "x; DROP TABLE \"2024-03-05\"",
             "2024-03-05 -- note", "二〇二四年三月五日"}) {
        QTest::newRow(qPrintable(QStringLiteral("table named %1").arg(QString::fromUtf8(name))))
            << secondTableNamed(name) << 1 << QStringLiteral("A1") << silent
            << QStringLiteral("dates [2024-03-05|%1] grid 1x3 [sn|send|result] [A1|0|other]")
                   .arg(shorten(QString::fromUtf8(name)));
    }
    // The selector holds the name decoded with replacement characters, and
    // that text names no table.
    QTest::newRow("table named with bytes not UTF-8")
        << secondTableNamed("bad \xff\xfe\x80 name") << 1 << QStringLiteral("A1")
        << sqlError + "no such table: bad \xef\xbf\xbd"
        << QString::fromUtf8("dates [2024-03-05|bad \uFFFD\uFFFD\uFFFD name] grid 1x1 [SN] [找不到该数据！]");

    // Values and shapes.
    QTest::newRow("value of 1 MB")
        << Prepare(megabyteValue) << -1 << QStringLiteral("A1") << silent
        << QString::fromUtf8("dates [2024-03-05] grid 1x3 [sn|send|result] [A1|0|xxxxxxxxxxxxxxxxxxxxxxxx…(1048576 "
                             "chars)]");
    // The value comes as text and stops at its first zero byte.
    QTest::newRow("BLOB with zero bytes")
        << Prepare(blobWithZeros) << -1 << noSn << silent << "dates [2024-03-05] grid 1x2 [SN|result] [A1|A]";
    QTest::newRow("500 columns")
        << Prepare(fiveHundredColumns) << -1 << QStringLiteral("A1") << silent
        << "dates [2024-03-05] grid 1x500 [sn|send|c3|c4|c5|…(500 in all)] [A1|0|3|4|5|…(500 in all)]";
    QTest::newRow("row of NULLs only") << Prepare(nullRow) << -1 << noSn << silent
                                       << "dates [2024-03-05] grid 1x2 [SN|result] [|]";

    // Serial numbers the operator might type: none matches, none runs.
    for (const char *sn : {"' OR '1'='1", "A1'; DROP TABLE \"2024-03-05\"; --", "A1\" OR \"\"=\""}) {
        QTest::newRow(qPrintable(QStringLiteral("serial number %1").arg(QString::fromUtf8(sn))))
            << Prepare(dayDatabase) << -1 << QString::fromUtf8(sn) << silent << notFound;
    }
    QTest::newRow("serial number of 1 MB")
        << Prepare(dayDatabase) << -1 << QString(1024 * 1024, QLatin1Char('A')) << silent << notFound;

    // Configuration files.
    QTest::newRow("configuration of 10 MB") << withConfig(tenMegabyteConfig()) << -1 << noSn << silent
                                            << "dates [2024-03-05] grid 2x3 [SN|Verdict|value] [A1|OK|1.5]";
    QTest::newRow("configuration with binary bytes") << withConfig(binaryConfig()) << -1 << noSn << silent
                                                     << "dates [2024-03-05] grid 2x3 [SN|Verdict|value] [A1|OK|1.5]";
    QTest::newRow("configuration line of 1 MB")
        << withConfig("[customName]\nresult = " + QByteArray(1024 * 1024, 'v') + "\n") << -1 << noSn << silent
        << QString::fromUtf8("dates [2024-03-05] grid 2x3 [SN|vvvvvvvvvvvvvvvvvvvvvvvv…(1048576 chars)|value] "
                             "[A1|OK|1.5]");
    QTest::newRow("no configuration") << Prepare(dayDatabase) << -1 << noSn << silent << dayShown;
}

// Each case: no crash, the message the program gives for it (or nothing,
// from start to close), the grid as described, the source untouched and
// nothing left behind once the window is gone.
void tst_hostile::hostileInput()
{
    QFETCH(Prepare, prepare);
    QFETCH(int, choose);
    QFETCH(QString, sn);
    QFETCH(QString, message);
    QFETCH(QString, shown);

    WorkDir dir;
    prepare();
    const QByteArray source = fileBytes(sourcePath());
    const QStringList before = tree(dir.path());
    QStringList seen;
    QStringList said;
    {
        Console console;
        {
            Tabulon window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            paint(window);
            seen << "start: " + describe(window);
            if (choose >= 0) {
                window.findChild<QComboBox *>()->setCurrentIndex(choose);
                paint(window);
                seen << "chosen: " + describe(window);
            }
            if (!sn.isNull()) {
                window.findChild<QLineEdit *>()->setText(sn);
                window.findChild<QPushButton *>()->click();
                paint(window);
                seen << "query: " + describe(window);
            }
        }
        said = console.lines();
    }
    qInfo().noquote() << QTest::currentDataTag() << "->" << seen.join(" / ") << "| console:" << summary(said);

    QCOMPARE(tree(dir.path()).join(", "), before.join(", "));
    QCOMPARE(fileBytes(sourcePath()), source);
    const QString text = said.join(QLatin1Char('\n'));
    if (message.isEmpty())
        QVERIFY2(said.isEmpty(), qPrintable("said: " + text.left(2000)));
    else
        QVERIFY2(text.contains(message), qPrintable(text.left(2000)));
    QCOMPARE(seen.last().section(": ", 1), shown);
}

// Where nothing can be written the snapshot cannot be made: the viewer says
// so and shows nothing rather than anything stale.
void tst_hostile::readOnlyWorkingDirectory()
{
    WorkDir dir;
    Mount mount(dir.path() + "/ro");
    if (!mount.mounted)
        QSKIP(
            qPrintable("a read-only mount is needed (root ignores permission bits) and mount failed: " + mount.error));
    QVERIFY(QDir::setCurrent(dir.path() + "/ro"));
    makeDatabase(dayTable);
    writeBytes("config/Tabulon.ini", "[avoid]\nsend = true\n");
    // A snapshot left by an earlier run must not be shown as current.
    QVERIFY(QFile::copy(sourcePath(), snapshotFile()));
    QCOMPARE(execSql(snapshotFile(), "DELETE FROM \"2024-03-05\";"), std::string());
    QVERIFY2(mount.makeReadOnly(), qPrintable(mount.error));
    const QStringList before = tree(".");
    const QByteArray source = fileBytes(sourcePath());

    QString seen;
    QStringList said;
    {
        Console console;
        Tabulon window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        paint(window);
        seen = describe(window);
        said = console.lines();
    }
    qInfo().noquote() << "read-only working directory ->" << seen << "| console:" << summary(said);
    QVERIFY2(
        said.contains(QString::fromUtf8("无法打开目标文件：") + "Read-only file system"), qPrintable(summary(said)));
    QCOMPARE(seen, QStringLiteral("dates [] grid 0x0 [] []"));
    QCOMPARE(tree(".").join(", "), before.join(", "));
    QCOMPARE(fileBytes(sourcePath()), source);
    QVERIFY(QDir::setCurrent(dir.path()));
}

void tst_hostile::sourceUnderExclusiveLock_data()
{
    QTest::addColumn<QString>("write");
    QTest::addColumn<bool>("warned");
    QTest::newRow("exclusive lock, nothing written yet") << QString() << false;
    // The insert waits in the writer's cache: the main file is still whole.
    QTest::newRow("exclusive lock, uncommitted insert")
        << "INSERT INTO \"2024-03-05\" VALUES('A3', 0, 'uncommitted', 0);" << false;
    // A cache too small for the change spills it into the main file.
    QTest::newRow("exclusive lock, uncommitted change spilled into the file")
        << "PRAGMA cache_size=1; INSERT INTO \"2024-03-05\" SELECT 'B' || i, 0, zeroblob(3000), i FROM "
           "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) SELECT i FROM n);"
        << true;
}

// The byte copy takes no lock, so the viewer starts while another program
// holds the database, and shows what was last committed.
void tst_hostile::sourceUnderExclusiveLock()
{
    QFETCH(QString, write);
    QFETCH(bool, warned);
    WorkDir dir;
    makeDatabase(dayTable);
    sqlite3 *writer = nullptr;
    QCOMPARE(sqlite3_open(sourcePath(), &writer), SQLITE_OK);
    const std::string lock = "BEGIN EXCLUSIVE;" + write.toStdString();
    QVERIFY2(sqlite3_exec(writer, lock.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK, sqlite3_errmsg(writer));
    const QStringList before = tree(dir.path());
    const QByteArray source = fileBytes(sourcePath());

    QString seen;
    QStringList said;
    QElapsedTimer clock;
    clock.start();
    {
        Console console;
        Tabulon window;
        seen = describe(window);
        said = console.lines();
    }
    const qint64 took = clock.elapsed();
    qInfo().noquote() << QTest::currentDataTag() << "->" << seen << QStringLiteral("(%1 ms)").arg(took)
                      << "| console:" << summary(said);
    // While the change waits in the writer's cache the main file is whole:
    // the last commit is shown and there is nothing to say. Once the change
    // has reached the file, every try is torn, and the snapshot says so.
    if (warned) {
        QVERIFY2(said.join('\n').contains(QString::fromUtf8("快照可能不一致")), qPrintable(summary(said)));
    } else {
        QCOMPARE(seen, QStringLiteral("dates [2024-03-05] grid 2x3 [SN|result|value] [A1|OK|1.5]"));
        QCOMPARE(summary(said), QStringLiteral("(nothing)"));
    }
    QCOMPARE(tree(dir.path()).join(", "), before.join(", "));
    QCOMPARE(fileBytes(sourcePath()), source);
    sqlite3_exec(writer, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
}

QTEST_MAIN(tst_hostile)
#include "tst_hostile.moc"
