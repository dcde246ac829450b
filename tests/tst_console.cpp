#include "console.h"
#include "consoleWindow.h"
#include "testsupport.h"

#include <QtTest>

#include <functional>

using namespace testsupport;

using Write = std::function<void(const std::string &)>;
Q_DECLARE_METATYPE(Write)

class tst_console : public QObject {
    Q_OBJECT
private slots:
    void streamsAndLineEnds_data();
    void streamsAndLineEnds();
    void logLineCarriesLocation_data();
    void logLineCarriesLocation();
    void debugLogReachesStandardError();
    void laterHandlersStillSeeMessages();
    void redirectedStreamsAreNoConsoleWindow();
};

void tst_console::streamsAndLineEnds_data()
{
    QTest::addColumn<Write>("write");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    const QString failed = QString::fromUtf8("无法打开数据库 unable to open database filepath:");
    QTest::newRow("standard output, no line end") << Write(console::out) << failed << failed << QString();
    QTest::newRow("standard output, line end") << Write(console::outLine) << "table 't' exist ,but not true 'x'"
                                               << "table 't' exist ,but not true 'x'\n"
                                               << QString();
    QTest::newRow("standard error, line end") << Write(console::errLine) << "SQL error: no such table: 二〇二四"
                                              << QString() << QString::fromUtf8("SQL error: no such table: 二〇二四\n");
    QTest::newRow("text with format marks") << Write(console::errLine) << "%1 %2 100%" << QString() << "%1 %2 100%\n";
}

// Each text reaches its stream as the same UTF-8 bytes, with the line end
// asked for and no other.
void tst_console::streamsAndLineEnds()
{
    QFETCH(Write, write);
    QFETCH(QString, text);
    QFETCH(QString, out);
    QFETCH(QString, err);
    StreamCapture capturedOut(std::cout);
    StreamCapture capturedErr(std::cerr);
    write(text.toStdString());
    QCOMPARE(QByteArray::fromStdString(capturedOut.text()), out.toUtf8());
    QCOMPARE(QByteArray::fromStdString(capturedErr.text()), err.toUtf8());
}

void tst_console::logLineCarriesLocation_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");
    QTest::newRow("the program's own message")
        << QByteArray("/build/tabulon/db/sqlControler.cpp") << 85 << QByteArray("void sqlController::initPara()")
        << QString::fromUtf8("无法打开源文件： No such file or directory")
        << QString::fromUtf8(
               "无法打开源文件： No such file or directory (sqlControler.cpp:85, void sqlController::initPara())");
    QTest::newRow("a message holding format marks")
        << QByteArray("snapshot.cpp") << 7 << QByteArray("f()") << "changed (%1 of %2)"
        << "changed (%1 of %2) (snapshot.cpp:7, f())";
    // Qt's own libraries are built without locations.
    QTest::newRow("no location known") << QByteArray() << 0 << QByteArray() << "This plugin does not support it"
                                       << "This plugin does not support it";
}

void tst_console::logLineCarriesLocation()
{
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QByteArray, function);
    QFETCH(QString, message);
    QFETCH(QString, expected);
    const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), line,
        function.isNull() ? nullptr : function.constData(), "default");
    QCOMPARE(console::logLine(QtDebugMsg, context, message), expected);
}

// The handler the program installs at start writes the debug log to
// standard error, one line a message, with where it was written.
void tst_console::debugLogReachesStandardError()
{
    if (qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        QSKIP("QT_MESSAGE_PATTERN is set and chooses the form of the line");
    const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    StreamCapture err(std::cerr);
    console::installMessageHandler();
    const int line = __LINE__ + 1;
    qDebug().noquote() << QString::fromUtf8("无法打开目标文件：Read-only file system");
    qInstallMessageHandler(previous);
    QCOMPARE(QString::fromStdString(err.text()),
        QString::fromUtf8("无法打开目标文件：Read-only file system (tst_console.cpp:%1, %2)\n")
            .arg(line)
            .arg(QString::fromUtf8(Q_FUNC_INFO)));
}

// Messages stay messages of the debug log, with their context: a handler
// installed after the program's own (as the tests' is) gets them all.
void tst_console::laterHandlersStillSeeMessages()
{
    const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    console::installMessageHandler();
    {
        StreamCapture err(std::cerr);
        LogCapture log;
        qDebug().noquote() << QString::fromUtf8("写入快照失败：No space left on device");
        QCOMPARE(log.lines.size(), 1);
        QCOMPARE(log.lines.first().message, QString::fromUtf8("写入快照失败：No space left on device"));
        QVERIFY(log.lines.first().file.endsWith(QStringLiteral("tst_console.cpp")));
        QVERIFY(log.lines.first().function.contains(QStringLiteral("laterHandlersStillSeeMessages")));
        QCOMPARE(err.text(), std::string());
    }
    qInstallMessageHandler(previous);
}

// A stream redirected to a file or a pipe is no console window: the caller
// writes its UTF-8 bytes as they are. Elsewhere than on Windows terminals
// take the bytes too, so no stream ever is one.
void tst_console::redirectedStreamsAreNoConsoleWindow()
{
#ifdef Q_OS_WIN
    // Both handles put on a file, whatever the test runner gave them.
    QTemporaryDir dir;
    const std::wstring path = QDir::toNativeSeparators(dir.filePath("streams.txt")).toStdWString();
    const HANDLE file
        = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    SetStdHandle(STD_ERROR_HANDLE, file);
#endif
    const bool toOutput = writeToConsoleWindow(StdStream::Output, "text");
    const bool toError = writeToConsoleWindow(StdStream::Error, "text");
#ifdef Q_OS_WIN
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    SetStdHandle(STD_ERROR_HANDLE, err);
    CloseHandle(file);
    QCOMPARE(QFileInfo(dir.filePath("streams.txt")).size(), 0);
#endif
    QVERIFY(!toOutput);
    QVERIFY(!toError);
}

QTEST_GUILESS_MAIN(tst_console)
#include "tst_console.moc"
