#include "testsupport.h"

#include <QDirIterator>
#include <QProcess>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

using namespace testsupport;

namespace {

// The real executable in the given working directory, its console merged.
class Viewer {
public:
    explicit Viewer(const QString &workingDirectory, const QByteArray &messagePattern = QByteArray())
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
    QProcess process;

private:
    QByteArray output;
};

} // namespace

class tst_process : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void quitsCleanlyOnSignal_data();
    void quitsCleanlyOnSignal();
    void missingDatabase_data();
    void missingDatabase();
};

void tst_process::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("The viewer is stopped by POSIX signals here");
#endif
    QVERIFY2(QFileInfo(QStringLiteral(TABULON_EXE)).isExecutable(), TABULON_EXE);
}

void tst_process::quitsCleanlyOnSignal_data()
{
#ifdef Q_OS_UNIX
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM (kill)") << int(SIGTERM);
    QTest::newRow("SIGINT (Ctrl+C)") << int(SIGINT);
    QTest::newRow("SIGHUP (terminal closed)") << int(SIGHUP);
#endif
}

// A signal ends the event loop as closing the window would, so the window's
// destructor closes the database and deletes the snapshot.
void tst_process::quitsCleanlyOnSignal()
{
#ifdef Q_OS_UNIX
    QFETCH(int, signal);
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, result TEXT);"
                                "INSERT INTO \"2024-03-05\" VALUES('A1', 0, 'OK'), ('A2', 1, '合格');"),
        std::string());
    QVERIFY(QDir().mkpath("config"));
    QFile config("config/Tabulon.ini");
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[avoid]\nsend = true\n[customName]\nresult = Verdict\n");
    config.close();
    const QByteArray source = fileBytes(sourcePath());
    const QStringList before = tree(dir.path());

    Viewer viewer(dir.path());
    QVERIFY2(viewer.process.waitForStarted(), qPrintable(viewer.process.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(snapshotFile()), qPrintable(viewer.console()), 20000);
    if (signal == SIGTERM)
        viewer.process.terminate();
    else
        QCOMPARE(::kill(pid_t(viewer.process.processId()), signal), 0);

    QVERIFY2(viewer.process.waitForFinished(5000), qPrintable(viewer.console()));
    QCOMPARE(viewer.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(viewer.process.exitCode() == 0, qPrintable(viewer.console()));
    QCOMPARE(tree(dir.path()), before);
    QCOMPARE(fileBytes(sourcePath()), source);
#endif
}

void tst_process::missingDatabase_data()
{
    QTest::addColumn<QByteArray>("messagePattern");
    QTest::addColumn<QString>("line");
    QTest::newRow("the text, then where it was written")
        << QByteArray()
        << QString::fromUtf8("^无法打开源文件： .+ \\(sqlControler\\.cpp:\\d+, void sqlController::initPara\\(\\)\\)$");
    QTest::newRow("QT_MESSAGE_PATTERN chooses the form")
        << QByteArray("[%{type}] %{function}: %{message}")
        << QString::fromUtf8("^\\[debug\\] sqlController::initPara: 无法打开源文件： [^(]+$");
}

// No database: the message on the console, as UTF-8 on the redirected
// stream, and nothing created or deleted.
void tst_process::missingDatabase()
{
#ifdef Q_OS_UNIX
    QFETCH(QByteArray, messagePattern);
    QFETCH(QString, line);
    WorkDir dir;
    Viewer viewer(dir.path(), messagePattern);
    QVERIFY2(viewer.process.waitForStarted(), qPrintable(viewer.process.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(
        viewer.console().contains(QString::fromUtf8("无法打开源文件： ")), qPrintable(viewer.console()), 20000);
    viewer.process.terminate();
    QVERIFY2(viewer.process.waitForFinished(5000), qPrintable(viewer.console()));
    QCOMPARE(viewer.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(viewer.process.exitCode() == 0, qPrintable(viewer.console()));
    QCOMPARE(tree(dir.path()), QStringList());
    const QStringList lines = viewer.console().split(QLatin1Char('\n')).filter(QString::fromUtf8("无法打开源文件"));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(QRegularExpression(line).match(lines.first()).hasMatch(), qPrintable(lines.first()));
#endif
}

QTEST_GUILESS_MAIN(tst_process)
#include "tst_process.moc"
