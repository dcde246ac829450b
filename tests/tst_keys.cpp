#include "Tabulon.h"
#include "testsupport.h"

#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace testsupport;

namespace {

const char *twoDays = R"(
CREATE TABLE "2024-03-07"(sn TEXT, send INTEGER, result TEXT);
INSERT INTO "2024-03-07" VALUES ('B1', 1, 'OK');
CREATE TABLE "2024-03-05"(sn TEXT, send INTEGER, result TEXT);
INSERT INTO "2024-03-05" VALUES ('A1', 0, 'OK'), ('A2', 1, 'NG');
)";

// Serial numbers and codes a spreadsheet would turn into numbers, and texts
// that need quoting.
const char *codes = R"(
CREATE TABLE "2024-03-05"(sn TEXT, send INTEGER, code TEXT, note TEXT);
INSERT INTO "2024-03-05" VALUES
    ('000123', 0, '0042', 'plain'),
    ('123456789012345678', 1, '1E5', 'tab	here'),
    ('A3', 0, '', 'say "hi"' || char(10) || 'bye & <go>');
)";

QComboBox *dates(Tabulon &w)
{
    return w.findChild<QComboBox *>();
}

// The one grid the window has, whichever it is now.
QTableWidget *grid(Tabulon &w)
{
    const QList<QTableWidget *> grids = w.findChildren<QTableWidget *>();
    return grids.size() == 1 ? grids.first() : nullptr;
}

QStringList items(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

QStringList rows(const QTableWidget *grid)
{
    QStringList list;
    for (int r = 0; r < grid->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < grid->columnCount(); ++c)
            cells << (grid->item(r, c) ? grid->item(r, c)->text() : QStringLiteral("<no item>"));
        list << cells.join(QLatin1Char('|'));
    }
    return list;
}

// The snapshot and whatever SQLite may have left beside it.
QStringList snapshots()
{
    return QDir(QStringLiteral("sqlDatabase"))
        .entryList({QStringLiteral("QOR-database-temp.db*")}, QDir::Files | QDir::System | QDir::Hidden);
}

// A shown, active window, as the operator has it: keys reach its shortcuts.
std::unique_ptr<Tabulon> openWindow()
{
    auto w = std::make_unique<Tabulon>();
    w->show();
    w->activateWindow();
    if (!QTest::qWaitForWindowActive(w.get()))
        return nullptr;
    return w;
}

void pressF5(Tabulon &w)
{
    QWidget *focus = QApplication::focusWidget();
    QTest::keyClick(focus ? focus : &w, Qt::Key_F5);
}

const QString htmlStart = QStringLiteral("<html xmlns:x=\"urn:schemas-microsoft-com:office:excel\"><head>"
                                         "<meta charset=\"utf-8\"><style>td{mso-number-format:\"\\@\";}</style></head>"
                                         "<body><table x:str>");
const QString htmlEnd = QStringLiteral("</table></body></html>");

} // namespace

class tst_keys : public QObject {
    Q_OBJECT
private slots:
    void refreshShowsTheDatabaseAsItIsNow();
    void refreshWithTheDatabaseGoneThenBack();
    void refreshTakesTheSnapshotWithItsSafeguards();
    void copy_data();
    void copy();
    void serialNumberFieldKeepsItsOwnCopy();
};

// Rows and a day added since start appear on F5, the date shown stays, and
// a lookup shown before gives way to that day. One snapshot exists all
// along, and it is the source as it is now.
void tst_keys::refreshShowsTheDatabaseAsItIsNow()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase(twoDays), std::string());
    const std::unique_ptr<Tabulon> w = openWindow();
    QVERIFY(w);
    dates(*w)->setCurrentIndex(1);
    w->findChild<QLineEdit *>()->setText(QStringLiteral("A2"));
    w->findChild<QPushButton *>()->click();
    QCOMPARE(rows(grid(*w)), QStringList{"A2|1|NG"});

    QCOMPARE(execSql(sourcePath(),
                 "INSERT INTO \"2024-03-05\" VALUES ('A3', 0, 'OK');"
                 "CREATE TABLE \"2024-03-08\"(sn TEXT, send INTEGER, result TEXT);"),
        std::string());
    StreamCapture err(std::cerr);
    LogCapture log;
    pressF5(*w);
    QCOMPARE(items(dates(*w)), (QStringList{"2024-03-07", "2024-03-05", "2024-03-08"}));
    QCOMPARE(dates(*w)->currentText(), QStringLiteral("2024-03-05"));
    QCOMPARE(rows(grid(*w)), (QStringList{"A1|OK", "A2|NG", "A3|OK"}));
    QCOMPARE(snapshots(), QStringList{"QOR-database-temp.db"});
    QCOMPARE(fileBytes(snapshotFile()), fileBytes(sourcePath()));
    QCOMPARE(log.lines.size(), 0);
    QCOMPARE(err.text(), std::string());

    // The date shown is gone from the database: the first date, as at start.
    QCOMPARE(execSql(sourcePath(), "DROP TABLE \"2024-03-05\";"), std::string());
    pressF5(*w);
    QCOMPARE(items(dates(*w)), (QStringList{"2024-03-07", "2024-03-08"}));
    QCOMPARE(dates(*w)->currentText(), QStringLiteral("2024-03-07"));
    QCOMPARE(rows(grid(*w)), QStringList{"B1|OK"});
}

// The database moved away: F5 shows what start-up shows then, and the
// console says why; once it is back, F5 shows it again.
void tst_keys::refreshWithTheDatabaseGoneThenBack()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase(twoDays), std::string());
    const std::unique_ptr<Tabulon> w = openWindow();
    QVERIFY(w);
    dates(*w)->setCurrentIndex(1);

    QVERIFY(QFile::rename(sourcePath(), "moved.db"));
    {
        StreamCapture err(std::cerr);
        LogCapture log;
        pressF5(*w);
        QCOMPARE(log.lines.size(), 1);
        QVERIFY2(log.lines.first().message.startsWith(QString::fromUtf8("无法打开源文件： ")),
            qPrintable(log.lines.first().message));
        QVERIFY(QString::fromStdString(err.text()).startsWith(QStringLiteral("SQL error: ")));
    }
    QCOMPARE(dates(*w)->count(), 0);
    QCOMPARE(grid(*w)->rowCount(), 0);
    QCOMPARE(grid(*w)->columnCount(), 0);
    QCOMPARE(snapshots(), QStringList());

    QVERIFY(QFile::rename("moved.db", sourcePath()));
    LogCapture log;
    pressF5(*w);
    QCOMPARE(log.lines.size(), 0);
    QCOMPARE(items(dates(*w)), (QStringList{"2024-03-07", "2024-03-05"}));
    QCOMPARE(dates(*w)->currentText(), QStringLiteral("2024-03-07"));
    QCOMPARE(rows(grid(*w)), QStringList{"B1|OK"});
    QCOMPARE(snapshots(), QStringList{"QOR-database-temp.db"});
}

// The snapshot F5 takes is no more readable than the source, and a link
// left at its path is removed, never followed.
void tst_keys::refreshTakesTheSnapshotWithItsSafeguards()
{
    WorkDir dir;
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.path() + "/notes.txt";
    QVERIFY(writeFile(outside, "the operator's own notes\n"));
    QCOMPARE(makeSourceDatabase(twoDays), std::string());
#ifdef Q_OS_UNIX
    QVERIFY(::chmod(sourcePath(), 0640) == 0);
#endif
    const std::unique_ptr<Tabulon> w = openWindow();
    QVERIFY(w);

    // Someone swaps the open snapshot for a link to their own file.
    if (!QFile::remove(QString::fromLatin1(snapshotFile())))
        QSKIP("the open snapshot cannot be removed here, so no link can take its place");
    const QString cannot = makeLink(LinkKind::Symbolic, outside, snapshotFile());
    if (!cannot.isEmpty())
        QSKIP(qPrintable(cannot));
    pressF5(*w);
    QCOMPARE(fileBytes(outside), QByteArray("the operator's own notes\n"));
    QVERIFY(!QFileInfo(snapshotFile()).isSymLink());
    QCOMPARE(fileBytes(snapshotFile()), fileBytes(sourcePath()));
    QCOMPARE(rows(grid(*w)), QStringList{"B1|OK"});
#ifdef Q_OS_UNIX
    struct stat info { };
    QVERIFY(::stat(snapshotFile(), &info) == 0);
    QCOMPARE(QString::number(info.st_mode & 0777, 8), QStringLiteral("640"));
#endif
}

void tst_keys::copy_data()
{
    QTest::addColumn<QList<QPoint>>("cells"); // (column, row), clicked with Ctrl held
    QTest::addColumn<bool>("withHeaders");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("html"); // empty: plain text only

    const auto table = [](const QString &rows) {
        return htmlStart + rows + htmlEnd;
    };
    QTest::newRow("one cell: its text, as the grid copies it")
        << QList<QPoint>{{0, 0}} << false << "000123" << QString();
    QTest::newRow("a row") << QList<QPoint>{{0, 0}, {1, 0}, {2, 0}} << false << "000123\t0042\tplain"
                           << table("<tr><td>000123</td><td>0042</td><td>plain</td></tr>");
    QTest::newRow("a rectangle with gaps") << QList<QPoint>{{0, 0}, {2, 1}} << false << "000123\t\t\n\t\t\"tab\there\""
                                           << table("<tr><td>000123</td><td></td><td></td></tr>"
                                                    "<tr><td></td><td></td><td>tab\there</td></tr>");
    QTest::newRow("tabs, line breaks and quotes are quoted")
        << QList<QPoint>{{2, 1}, {2, 2}} << false << "\"tab\there\"\n\"say \"\"hi\"\"\nbye & <go>\""
        << table("<tr><td>tab\there</td></tr><tr><td>say &quot;hi&quot;<br "
                 "style=\"mso-data-placement:same-cell\">bye &amp; &lt;go&gt;</td></tr>");
    QTest::newRow("long serial numbers and codes kept as text") << QList<QPoint>{{0, 1},
        {1, 1}} << false << "123456789012345678\t1E5" << table("<tr><td>123456789012345678</td><td>1E5</td></tr>");
    QTest::newRow("headers first") << QList<QPoint>{{0, 0}, {1, 0}} << true << "SN\tcode\n000123\t0042"
                                   << table("<tr><td>SN</td><td>code</td></tr><tr><td>000123</td><td>0042</td></tr>");
    QTest::newRow("one cell with its header") << QList<QPoint>{{1, 2}} << true << "code\n"
                                              << table("<tr><td>code</td></tr><tr><td></td></tr>");
}

// Cells chosen with the mouse, copied with the keys, and the clipboard as a
// spreadsheet finds it.
void tst_keys::copy()
{
    QFETCH(QList<QPoint>, cells);
    QFETCH(bool, withHeaders);
    QFETCH(QString, text);
    QFETCH(QString, html);
    WorkDir dir;
    QCOMPARE(makeSourceDatabase(codes), std::string());
    const std::unique_ptr<Tabulon> w = openWindow();
    QVERIFY(w);
    QTableWidget *g = grid(*w);
    QCOMPARE(g->rowCount(), 3);
    QApplication::clipboard()->clear();

    for (int i = 0; i < cells.size(); ++i) {
        const QRect at = g->visualRect(g->model()->index(cells[i].y(), cells[i].x()));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, i == 0 ? Qt::NoModifier : Qt::ControlModifier, at.center());
    }
    QCOMPARE(g->selectedItems().size(), cells.size());
    QTest::keyClick(g, Qt::Key_C, withHeaders ? Qt::ControlModifier | Qt::ShiftModifier : Qt::ControlModifier);

    const QMimeData *copied = QApplication::clipboard()->mimeData();
    QVERIFY(copied);
    QCOMPARE(copied->text(), text);
    QCOMPARE(copied->hasHtml(), !html.isEmpty());
    if (!html.isEmpty())
        QCOMPARE(copied->html(), html);
}

// In the serial-number field Ctrl+C copies what is selected there.
void tst_keys::serialNumberFieldKeepsItsOwnCopy()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase(codes), std::string());
    const std::unique_ptr<Tabulon> w = openWindow();
    QVERIFY(w);
    grid(*w)->selectAll();
    auto *field = w->findChild<QLineEdit *>();
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral("SN-42"));
    field->selectAll();
    QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("SN-42"));
    QVERIFY(!QApplication::clipboard()->mimeData()->hasHtml());
}

QTEST_MAIN(tst_keys)
#include "tst_keys.moc"
