#include "Tabulon.h"
#include "testsupport.h"

#include <QTextCodec>
#include <QtTest>

#include <memory>

using namespace testsupport;

namespace {

// A map as sorted "key=value" lines, so a failure shows every entry.
QStringList entries(const std::unordered_map<QString, QString> &map)
{
    QStringList list;
    for (const auto &entry : map)
        list << entry.first + QLatin1Char('=') + entry.second;
    list.sort();
    return list;
}

QByteArray utf8Bom(const char *text)
{
    return QByteArray("\xEF\xBB\xBF") + text;
}

QByteArray utf16LeBom(const QString &text)
{
    QByteArray bytes("\xFF\xFE", 2);
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

// A window in an empty working directory: no configuration, no database, so
// both maps start empty. The start-up messages about the missing files are
// swallowed.
std::unique_ptr<Tabulon> bareWindow()
{
    StreamCapture err(std::cerr);
    LogCapture log;
    return std::make_unique<Tabulon>();
}

const char *configPath = "config/Tabulon.ini";

// Stands in for the system's code page while it lives, as on an operator's
// PC whatever this machine's locale is.
class LocaleCodec {
public:
    explicit LocaleCodec(QTextCodec *codec)
    {
        QTextCodec::setCodecForLocale(codec);
    }
    ~LocaleCodec()
    {
        QTextCodec::setCodecForLocale(nullptr);
    }
};

} // namespace

class tst_config : public QObject {
    Q_OBJECT
private slots:
    void reader_data();
    void reader();
    void encodings_data();
    void encodings();
    void missingFileLeavesMapsAlone();
    void readOnceAtStart();
};

void tst_config::reader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("hidden");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("both sections") << QByteArray("; columns to hide\n[avoid]\nsend = true\nid = TRUE\n"
                                                 "[customName]\nsn = Serial number\nresult = Verdict = OK\n")
                                   << QStringList{"send=true"}
                                   << QStringList{"result=Verdict = OK", "sn=Serial number"};
    QTest::newRow("section names are exact and case-sensitive") << QByteArray(
        "[ avoid ]\na = true\n[Avoid]\nb = true\n[avoid ]\nc = true\n"
        "[customname]\nd = D\n[CustomName]\ne = E\n[ customName]\nf = F\n"
        " \t[avoid]\t \ng = true\n") << QStringList{"g=true"} << QStringList{};
    QTest::newRow("trimming, ideographic space and tabs included")
        << utf8Bom("\xE3\x80\x80[customName]\xE3\x80\x80\n\t a \t=\xE3\x80\x80 A  b \xE3\x80\x80\r\n"
                   "[avoid]\n\tid\t=\ttrue\xE3\x80\x80\n\xE3\x80\x80x = \xE3\x80\x80true\n")
        << QStringList{"id=true", "x=true"} << QStringList{"a=A  b"};
    QTest::newRow("comments only at line start")
        << QByteArray("[avoid]\n; id = true\n  ; s = true\n#id = true\nn = true ; note\n"
                      "[customName]\n;c = C\nv = V ; note\nw = W # note\n")
        << QStringList{"#id=true"} << QStringList{"v=V ; note", "w=W # note"};
    QTest::newRow("header followed by a comment is no header")
        << QByteArray("[customName]\n[avoid] ; hidden\na = true\n") << QStringList{} << QStringList{"a=true"};
    QTest::newRow("entries outside the two sections are ignored")
        << QByteArray("a = true\nb = B\n[other]\nc = true\n[avoid]\nd = true\n[other]\ne = true\nf = F\n")
        << QStringList{"d=true"} << QStringList{};
    QTest::newRow("empty header name stops entries")
        << QByteArray("[avoid]\na = true\n[]\nb = true\n[customName]\nc = C\n[]\nd = D\n") << QStringList{"a=true"}
        << QStringList{"c=C"};
    QTest::newRow("first equals sign splits, inner blanks kept")
        << QByteArray("[customName]\na = b = c\ntest time = Time\nx==y\nno equals sign\n[avoid]\nlot  no = true\n")
        << QStringList{"lot  no=true"} << QStringList{"a=b = c", "test time=Time", "x==y"};
    QTest::newRow("avoid stores only the exact value true")
        << QByteArray("[avoid]\na = TRUE\nb = True\nc = 1\nd = false\ne =\nf\ng =  true  \nh=true\ni = \"true\"\n")
        << QStringList{"g=true", "h=true"} << QStringList{};
    QTest::newRow("empty key and empty display name") << QByteArray("[avoid]\n= true\n[customName]\nsn =\n = Blank\n")
                                                      << QStringList{"=true"} << QStringList{"=Blank", "sn="};
    QTest::newRow("first entry of a key wins")
        << QByteArray("[customName]\nsn = One\nsn = Two\n[avoid]\nsn = true\nx = false\nx = true\n")
        << QStringList{"sn=true", "x=true"} << QStringList{"sn=One"};
    QTest::newRow("a section that occurs twice accumulates")
        << QByteArray("[avoid]\na = true\n[customName]\na = A1\n[avoid]\nb = true\n[customName]\nb = B\na = A2\n")
        << QStringList{"a=true", "b=true"} << QStringList{"a=A1", "b=B"};
    QTest::newRow("CRLF line ends") << QByteArray("[avoid]\r\na = true\r\n\r\n[customName]\r\nb = B\r\n")
                                    << QStringList{"a=true"} << QStringList{"b=B"};
    QTest::newRow("UTF-8 byte-order mark")
        << utf8Bom("[customName]\n电压 = 电压 (V)\n操作员 = Müller\n[avoid]\n备注 = true\n")
        << QStringList{QString::fromUtf8("备注=true")}
        << QStringList{QString::fromUtf8("操作员=Müller"), QString::fromUtf8("电压=电压 (V)")};
    // Windows editors write UTF-16 with CRLF; 不 (U+4E0D) holds a CR byte.
    QTest::newRow("UTF-16 LE byte-order mark, CRLF line ends")
        << utf16LeBom(QString::fromUtf8("[customName]\r\n电压 = 电压 (V)\r\n操作员 = Müller\r\n不良 = 不良品\r\n"
                                        "[avoid]\r\n备注 = true\r\n"))
        << QStringList{QString::fromUtf8("备注=true")}
        << QStringList{QString::fromUtf8("不良=不良品"), QString::fromUtf8("操作员=Müller"),
               QString::fromUtf8("电压=电压 (V)")};
    QTest::newRow("last line without terminator")
        << QByteArray("[avoid]\na = true\n[customName]\nb = B") << QStringList{"a=true"} << QStringList{"b=B"};
    QTest::newRow("only comments and blank lines")
        << QByteArray("; nothing here\n\n   \n;[avoid]\n") << QStringList{} << QStringList{};
    QTest::newRow("empty file") << QByteArray("") << QStringList{} << QStringList{};
}

void tst_config::reader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, hidden);
    QFETCH(QStringList, names);

    WorkDir dir;
    std::unique_ptr<Tabulon> w = bareWindow();
    QVERIFY(w->hiddenColumns.empty() && w->displayNames.empty());
    QVERIFY(writeFile(configPath, bytes));

    QVERIFY(w->readConfig(configPath));
    QCOMPARE(entries(w->hiddenColumns), hidden);
    QCOMPARE(entries(w->displayNames), names);
}

void tst_config::encodings_data()
{
    QTest::addColumn<QByteArray>("systemCodePage");
    QTest::addColumn<QByteArray>("fileEncoding");
    QTest::addColumn<bool>("byteOrderMark");
    // An entry after each non-ASCII one shows when a wrong decoding swallows
    // a line end.
    QTest::newRow("Chinese PC, UTF-8 with a mark") << QByteArray("GBK") << QByteArray("UTF-8") << true;
    QTest::newRow("Chinese PC, UTF-8 without a mark (Notepad's default)")
        << QByteArray("GBK") << QByteArray("UTF-8") << false;
    QTest::newRow("Chinese PC, GBK without a mark (saved as ANSI)") << QByteArray("GBK") << QByteArray("GBK") << false;
    QTest::newRow("Western PC, UTF-8 without a mark") << QByteArray("windows-1252") << QByteArray("UTF-8") << false;
    QTest::newRow("Western PC, Windows-1252 without a mark")
        << QByteArray("windows-1252") << QByteArray("windows-1252") << false;
}

// A file is read right whichever of the encodings an editor on the
// operator's PC saves it in.
void tst_config::encodings()
{
    QFETCH(QByteArray, systemCodePage);
    QFETCH(QByteArray, fileEncoding);
    QFETCH(bool, byteOrderMark);
    QTextCodec *system = QTextCodec::codecForName(systemCodePage);
    QTextCodec *file = QTextCodec::codecForName(fileEncoding);
    QVERIFY2(system && file, "the codecs are part of Qt");
    const bool chinese = fileEncoding != "windows-1252";
    const QString text
        = QString::fromUtf8(chinese ? "[customName]\r\n电压 = 电压 (V)\r\nnext = 下一个\r\nlast = Last\r\n"
                                      "[avoid]\r\n备注 = true\r\nshown = true\r\n"
                                    : "[customName]\r\nprüfer = Prüfer\r\nnext = Nächster\r\n"
                                      "last = Last\r\n[avoid]\r\nbemerkung = true\r\nshown = true\r\n");
    const QByteArray bytes = (byteOrderMark ? QByteArray("\xEF\xBB\xBF") : QByteArray()) + file->fromUnicode(text);

    WorkDir dir;
    std::unique_ptr<Tabulon> w = bareWindow();
    QVERIFY(writeFile(configPath, bytes));
    const LocaleCodec pc(system);
    QVERIFY(w->readConfig(configPath));
    if (chinese) {
        QCOMPARE(entries(w->displayNames),
            (QStringList{"last=Last", "next=" + QString::fromUtf8("下一个"), QString::fromUtf8("电压=电压 (V)")}));
        QCOMPARE(entries(w->hiddenColumns), (QStringList{"shown=true", QString::fromUtf8("备注=true")}));
    } else {
        QCOMPARE(entries(w->displayNames),
            (QStringList{"last=Last", "next=" + QString::fromUtf8("Nächster"), QString::fromUtf8("prüfer=Prüfer")}));
        QCOMPARE(entries(w->hiddenColumns), (QStringList{"bemerkung=true", "shown=true"}));
    }
}

void tst_config::missingFileLeavesMapsAlone()
{
    WorkDir dir;
    std::unique_ptr<Tabulon> w = bareWindow();
    w->hiddenColumns.insert({"kept", "true"});
    w->displayNames.insert({"sn", "Serial"});

    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    LogCapture log;
    QVERIFY(!w->readConfig(configPath));
    QCOMPARE(entries(w->hiddenColumns), QStringList{"kept=true"});
    QCOMPARE(entries(w->displayNames), QStringList{"sn=Serial"});
    QCOMPARE(out.text(), std::string());
    QCOMPARE(err.text(), std::string());
    QCOMPARE(log.lines.size(), 0);
}

// The window reads its configuration from the fixed relative path while it
// is being built, before any database exists.
void tst_config::readOnceAtStart()
{
    WorkDir dir;
    QVERIFY(writeFile(configPath, "[avoid]\nsend = true\n[customName]\nsn = Serial\n"));
    std::unique_ptr<Tabulon> w = bareWindow();
    QCOMPARE(entries(w->hiddenColumns), QStringList{"send=true"});
    QCOMPARE(entries(w->displayNames), QStringList{"sn=Serial"});
}

QTEST_MAIN(tst_config)
#include "tst_config.moc"
