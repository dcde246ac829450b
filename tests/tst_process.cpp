#include "testsupport.h"

#include <QDirIterator>
#include <QProcess>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

using namespace testsupport;

namespace {

// How the operator, the system or a terminal asks the viewer to stop.
enum class Stop { Terminate, Interrupt, Hangup, CtrlC, CtrlBreak };

// The way a test run ends the viewer when the stop itself is not under test.
#ifdef Q_OS_WIN
constexpr Stop usualStop = Stop::CtrlC;
#else
constexpr Stop usualStop = Stop::Terminate;
#endif

// The real executable in the given working directory, its console merged
// into one pipe, or on Windows, with `onConsole`, written to a console of
// its own that the test reads as the operator would.
class Viewer {
public:
    explicit Viewer(
        const QString &workingDirectory, const QByteArray &messagePattern = QByteArray(), bool onConsole = false)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
        if (!messagePattern.isNull())
            environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QString::fromUtf8(messagePattern));
        process.setProcessEnvironment(environment);
        process.setProgram(QStringLiteral(TABULON_EXE));
        process.setArguments({"-platform", "offscreen"});
        process.setWorkingDirectory(workingDirectory);
        process.setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_WIN
        // A console of its own, without a window: a console event sent to
        // it never reaches the test program, CTest or CI.
        process.setCreateProcessArgumentsModifier([onConsole](QProcess::CreateProcessArguments *arguments) {
            arguments->flags = (arguments->flags & ~DWORD(CREATE_NEW_CONSOLE)) | CREATE_NO_WINDOW;
            if (onConsole)
                arguments->startupInfo->dwFlags &= ~DWORD(STARTF_USESTDHANDLES);
        });
#else
        Q_UNUSED(onConsole);
#endif
        process.start();
    }
    ~Viewer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    QString console()
    {
        output += process.readAll();
        return QString::fromUtf8(output);
    }
    // Asks the viewer to stop: empty when asked, else why not. Only a
    // running viewer is asked, by its own id: once it has ended its id is
    // 0, and on POSIX a signal to 0 goes to the whole process group, the
    // test program, CTest and CI with it.
    QString stop(Stop how)
    {
        const qint64 pid = process.processId();
        if (process.state() != QProcess::Running || pid <= 0)
            return QStringLiteral("the viewer is not running (%1): %2")
                .arg(process.exitStatus() == QProcess::CrashExit
                        ? QStringLiteral("it crashed")
                        : QStringLiteral("exit code %1").arg(process.exitCode()))
                .arg(console());
#ifdef Q_OS_WIN
        switch (how) {
        case Stop::CtrlC:
            return probe(QStringLiteral("ctrl-c"), pid);
        case Stop::CtrlBreak:
            return probe(QStringLiteral("ctrl-break"), pid);
        default:
            return QStringLiteral("no such stop on Windows");
        }
#else
        const int signal = how == Stop::Terminate ? SIGTERM
            : how == Stop::Interrupt              ? SIGINT
            : how == Stop::Hangup                 ? SIGHUP
                                                  : 0;
        if (signal == 0)
            return QStringLiteral("no such stop on POSIX");
        return ::kill(pid_t(pid), signal) == 0 ? QString() : QString::fromLocal8Bit(std::strerror(errno));
#endif
    }
#ifdef Q_OS_WIN
    // What the viewer's own console shows, its code page on the first line.
    QString screen()
    {
        QString shown;
        const QString failed = probe(QStringLiteral("screen"), process.processId(), &shown);
        return failed.isEmpty() ? shown : failed;
    }
#endif
    QProcess process;
    int probeStatus = 0;

private:
    QByteArray output;

#ifdef Q_OS_WIN
    QString probe(const QString &command, qint64 pid, QString *said = nullptr)
    {
        QProcess probe;
        probe.start(QStringLiteral(CONSOLE_PROBE_EXE),
            {command, QString::number(pid), QString::number(QCoreApplication::applicationPid())});
        if (!probe.waitForFinished(20000))
            return QStringLiteral("the console probe did not finish: ") + probe.errorString();
        const QString text = QString::fromUtf8(probe.readAllStandardOutput());
        if (said)
            *said = text;
        probeStatus = probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -1;
        return probeStatus == 0 ? QString()
                                : QStringLiteral("the console probe ended with %1: %2").arg(probeStatus).arg(text);
    }
#endif
};

const char *dayTable = "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, result TEXT);"
                       "INSERT INTO \"2024-03-05\" VALUES('A1', 0, 'OK'), ('A2', 1, '合格');";

bool writeConfig()
{
    return writeFile(QStringLiteral("config/Tabulon.ini"), "[avoid]\nsend = true\n[customName]\nresult = Verdict\n");
}

} // namespace

Q_DECLARE_METATYPE(Stop)

class tst_process : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void quitsCleanlyWhenAskedToStop_data();
    void quitsCleanlyWhenAskedToStop();
    void snapshotPathTakenBefore_data();
    void snapshotPathTakenBefore();
    void missingDatabase_data();
    void missingDatabase();
};

void tst_process::initTestCase()
{
    QVERIFY2(QFileInfo(QStringLiteral(TABULON_EXE)).isExecutable(), TABULON_EXE);
}

void tst_process::quitsCleanlyWhenAskedToStop_data()
{
    QTest::addColumn<Stop>("how");
#ifdef Q_OS_WIN
    QTest::newRow("Ctrl+C") << Stop::CtrlC;
    QTest::newRow("Ctrl+Break") << Stop::CtrlBreak;
#else
    QTest::newRow("SIGTERM (kill)") << Stop::Terminate;
    QTest::newRow("SIGINT (Ctrl+C)") << Stop::Interrupt;
    QTest::newRow("SIGHUP (terminal closed)") << Stop::Hangup;
#endif
}

// The viewer's snapshot is complete and equals the source. It is opened
// only once it has the source's size: on Windows a handle open here would
// keep the viewer from removing what stood at its path before.
static bool snapshotIsTheSource(const QByteArray &source)
{
    return QFileInfo(snapshotFile()).size() == source.size() && fileBytes(snapshotFile()) == source;
}

// While the viewer runs its snapshot is the source byte for byte, taken
// with the platform's own copy. Asked to stop, it ends the event loop as
// closing the window would, so the window's destructor closes the database
// and deletes the snapshot.
void tst_process::quitsCleanlyWhenAskedToStop()
{
    QFETCH(Stop, how);
    WorkDir dir;
    QCOMPARE(makeSourceDatabase(dayTable), std::string());
    QVERIFY(writeConfig());
    const QByteArray source = fileBytes(sourcePath());
    const QStringList before = tree(dir.path());

    Viewer viewer(dir.path());
    QVERIFY2(viewer.process.waitForStarted(), qPrintable(viewer.process.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(snapshotIsTheSource(source), qPrintable(viewer.console()), 20000);
    const QString refused = viewer.stop(how);
    if (how == Stop::CtrlBreak && viewer.probeStatus == 3 && underWine())
        QSKIP(qPrintable("Wine generates no Ctrl+Break event: " + refused.trimmed()));
    QVERIFY2(refused.isEmpty(), qPrintable(refused));

    QVERIFY2(viewer.process.waitForFinished(10000), qPrintable(viewer.console()));
    QCOMPARE(viewer.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(viewer.process.exitCode() == 0, qPrintable(viewer.console()));
    QCOMPARE(tree(dir.path()), before);
    QCOMPARE(fileBytes(sourcePath()), source);
}

void tst_process::snapshotPathTakenBefore_data()
{
    QTest::addColumn<QString>("standing");
    QTest::newRow("a snapshot left by a crash") << "file";
    QTest::newRow("a hard link to a file outside") << "hard link";
    QTest::newRow("a symbolic link to a file outside") << "symbolic link";
    QTest::newRow("a symbolic link to nothing") << "dangling link";
}

// Whatever stands at the snapshot's path when the viewer starts is never
// written through: what a link points to stays as it was, and the snapshot
// is a new file of the viewer's own, gone again at the end.
void tst_process::snapshotPathTakenBefore()
{
    QFETCH(QString, standing);
    WorkDir dir;
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.path() + "/notes.txt";
    const QByteArray notes("the operator's own notes\n");
    QVERIFY(writeFile(outside, notes));
    QCOMPARE(makeSourceDatabase(dayTable), std::string());
    const QByteArray source = fileBytes(sourcePath());
    const QStringList before = tree(dir.path());
    if (standing == "file") {
        QVERIFY(writeFile(snapshotFile(), "an old snapshot, longer than the database would ever be"));
    } else {
        const LinkKind kind = standing == "hard link" ? LinkKind::Hard : LinkKind::Symbolic;
        const QString pointsTo = standing == "dangling link" ? elsewhere.path() + "/missing.db" : outside;
        const QString cannot = makeLink(kind, pointsTo, snapshotFile());
        if (!cannot.isEmpty())
            QSKIP(qPrintable(cannot));
    }

    Viewer viewer(dir.path());
    QVERIFY2(viewer.process.waitForStarted(), qPrintable(viewer.process.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(snapshotIsTheSource(source), qPrintable(viewer.console()), 20000);
    QVERIFY(!QFileInfo(snapshotFile()).isSymLink());
    QCOMPARE(fileBytes(outside), notes);
    QVERIFY(!QFileInfo::exists(elsewhere.path() + "/missing.db"));
    const QString refused = viewer.stop(usualStop);
    QVERIFY2(refused.isEmpty(), qPrintable(refused));
    QVERIFY2(viewer.process.waitForFinished(10000), qPrintable(viewer.console()));
    QVERIFY2(viewer.process.exitCode() == 0, qPrintable(viewer.console()));

    QCOMPARE(tree(dir.path()), before);
    QCOMPARE(fileBytes(sourcePath()), source);
    QCOMPARE(fileBytes(outside), notes);
    QCOMPARE(tree(elsewhere.path()), QStringList{"notes.txt " + QString::number(notes.size())});
}

void tst_process::missingDatabase_data()
{
    QTest::addColumn<QByteArray>("messagePattern");
    QTest::addColumn<bool>("onConsole");
    QTest::addColumn<QString>("line");
    const QString withLocation
        = QString::fromUtf8("^无法打开源文件： .+ \\(sqlControler\\.cpp:\\d+, void sqlController::initPara\\(\\)\\)$");
    QTest::newRow("redirected: the text, then where it was written") << QByteArray() << false << withLocation;
    QTest::newRow("redirected: QT_MESSAGE_PATTERN chooses the form")
        << QByteArray("[%{type}] %{function}: %{message}") << false
        << QString::fromUtf8("^\\[debug\\] sqlController::initPara: 无法打开源文件： [^(]+$");
#ifdef Q_OS_WIN
    // The operator's console window, in the code page of a Chinese PC.
    QTest::newRow("on its console") << QByteArray() << true << withLocation;
#endif
}

// No database: the message on the console, as UTF-8 on a redirected stream
// and as the characters themselves on a Windows console whatever its code
// page, and nothing created or deleted.
void tst_process::missingDatabase()
{
    QFETCH(QByteArray, messagePattern);
    QFETCH(bool, onConsole);
    QFETCH(QString, line);
    WorkDir dir;
    Viewer viewer(dir.path(), messagePattern, onConsole);
    QVERIFY2(viewer.process.waitForStarted(), qPrintable(viewer.process.errorString()));
    const QString expected = QString::fromUtf8("无法打开源文件： ");
    QString shown;
#ifdef Q_OS_WIN
    if (onConsole) {
        QTRY_VERIFY2_WITH_TIMEOUT((shown = viewer.screen()).contains(expected), qPrintable(shown), 20000);
        qInfo().noquote() << "console" << shown.section(QLatin1Char('\n'), 0, 0)
                          << "shows:" << shown.section(QLatin1Char('\n'), 1).trimmed();
    }
#endif
    if (!onConsole)
        QTRY_VERIFY2_WITH_TIMEOUT((shown = viewer.console()).contains(expected), qPrintable(shown), 20000);
    const QString refused = viewer.stop(usualStop);
    QVERIFY2(refused.isEmpty(), qPrintable(refused));
    QVERIFY2(viewer.process.waitForFinished(10000), qPrintable(viewer.console()));
    QCOMPARE(viewer.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(viewer.process.exitCode() == 0, qPrintable(viewer.console()));
    QCOMPARE(tree(dir.path()), QStringList());
    const QStringList lines = shown.split(QLatin1Char('\n')).filter(QString::fromUtf8("无法打开源文件"));
    QCOMPARE(lines.size(), 1);
    const QString found = lines.first().trimmed();
    QVERIFY2(QRegularExpression(line).match(found).hasMatch(), qPrintable(found));
}

QTEST_GUILESS_MAIN(tst_process)
#include "tst_process.moc"
