#include "Tabulon.h"
#include "testsupport.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace testsupport;

namespace {

const char *configPath = "config/Tabulon.ini";

// Three days, created out of date order; the last name is not ASCII.
const char *threeDays = R"(
CREATE TABLE "2024-03-07"(sn TEXT, send INTEGER, a TEXT, b TEXT);
INSERT INTO "2024-03-07" VALUES ('A7', 1, 'x7', 'y7');
CREATE TABLE "2024-03-05"(sn TEXT, send INTEGER, a TEXT);
INSERT INTO "2024-03-05" VALUES ('A5', 0, 'x5'), ('  A1 ', 1, 'padded'), ('A1', 1, 'plain'), ('', 0, 'no sn');
CREATE TABLE "Prüfung-日〇"(sn TEXT, send INTEGER, 结果 TEXT);
INSERT INTO "Prüfung-日〇" VALUES ('Ü1', 1, '合格'), ('Ü2', 0, '不合格');
)";

// Creates the database and, unless ini is null, the configuration file in
// the working directory. Returns what went wrong, empty on success.
QString layOut(const std::string &sql, const QByteArray &ini)
{
    const std::string error = makeSourceDatabase(sql);
    if (!error.empty())
        return QString::fromStdString(error);
    if (!ini.isNull() && !writeFile(configPath, ini))
        return QStringLiteral("cannot write the configuration file");
    return QString();
}

const QString noItem = QStringLiteral("<no item>");

QStringList headers(const QTableWidget *grid)
{
    QStringList list;
    for (int c = 0; c < grid->columnCount(); ++c) {
        const QTableWidgetItem *item = grid->horizontalHeaderItem(c);
        list << (item ? item->text() : noItem);
    }
    return list;
}

// Each row's cells joined by "|"; a cell without an item shows as noItem.
QStringList rows(const QTableWidget *grid)
{
    QStringList list;
    for (int r = 0; r < grid->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < grid->columnCount(); ++c) {
            const QTableWidgetItem *item = grid->item(r, c);
            cells << (item ? item->text() : noItem);
        }
        list << cells.join(QLatin1Char('|'));
    }
    return list;
}

// Rows keep the toolkit's numbering: no vertical header item is set.
bool numberedRows(const QTableWidget *grid)
{
    for (int r = 0; r < grid->rowCount(); ++r) {
        if (grid->verticalHeaderItem(r))
            return false;
    }
    return true;
}

// The grid keeps every default of a fresh QTableWidget (sizes, modes,
// editing) and its items are plain ones; returns the first difference.
QString defaultsDiffer(const QTableWidget *grid)
{
    const QTableWidget fresh;
    if (grid->isSortingEnabled() != fresh.isSortingEnabled())
        return QStringLiteral("sorting");
    if (grid->editTriggers() != fresh.editTriggers())
        return QStringLiteral("edit triggers");
    if (grid->selectionMode() != fresh.selectionMode() || grid->selectionBehavior() != fresh.selectionBehavior())
        return QStringLiteral("selection");
    const bool hiddenOnPurpose = grid->isHidden() && grid->testAttribute(Qt::WA_WState_ExplicitShowHide);
    if (grid->signalsBlocked() || !grid->updatesEnabled() || hiddenOnPurpose)
        return QStringLiteral("signals, updates or visibility");
    if (grid->sizePolicy() != fresh.sizePolicy())
        return QStringLiteral("size policy");
    for (int c = 0; c < grid->columnCount(); ++c) {
        if (grid->columnWidth(c) != fresh.horizontalHeader()->defaultSectionSize())
            return QStringLiteral("width of column %1").arg(c);
    }
    const QTableWidgetItem plain;
    for (int r = 0; r < grid->rowCount(); ++r) {
        if (grid->rowHeight(r) != fresh.verticalHeader()->defaultSectionSize())
            return QStringLiteral("height of row %1").arg(r);
        for (int c = 0; c < grid->columnCount(); ++c) {
            const QTableWidgetItem *item = grid->item(r, c);
            if (item && (item->type() != QTableWidgetItem::Type || item->flags() != plain.flags()))
                return QStringLiteral("item at %1,%2").arg(r).arg(c);
        }
    }
    return QString();
}

int lineCount(const std::string &text)
{
    return int(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

class tst_window : public QObject {
    Q_OBJECT
private slots:
    void frameAndLifecycle();
    void panelLayout();
    void dateChangeRebuildsGrid();
    void nonAsciiTableNameRoundTrips();
    void emptyDatabase();
    void tableView_data();
    void tableView();
    void oneGridAfterManyRefreshes();
    void largeDayShownWhole();
    void cellsActLikePlainItems();
    void snView_data();
    void snView();
    void onlyTheButtonStartsALookup();
    void queryResultStaysUntilDateChanges();

private:
    struct Panel {
        QWidget *row = nullptr;
        QComboBox *dates = nullptr;
        QLineEdit *sn = nullptr;
        QPushButton *query = nullptr;
    };
    static Panel panel(Tabulon &w);
    static QTableWidget *grid(Tabulon &w)
    {
        return w.tableWidget;
    }
};

// Finds the query row's widgets by their place in the layouts.
tst_window::Panel tst_window::panel(Tabulon &w)
{
    Panel p;
    if (!w.mainLayout || w.mainLayout->count() < 1)
        return p;
    p.row = w.mainLayout->itemAt(0)->widget();
    QLayout *row = p.row ? p.row->layout() : nullptr;
    if (!row || row->count() != 5)
        return p;
    p.dates = qobject_cast<QComboBox *>(row->itemAt(1)->widget());
    p.sn = qobject_cast<QLineEdit *>(row->itemAt(3)->widget());
    p.query = qobject_cast<QPushButton *>(row->itemAt(4)->widget());
    return p;
}

void tst_window::frameAndLifecycle()
{
    WorkDir dir;
    const QString error = layOut(threeDays, QByteArray());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QByteArray source = fileBytes(sourcePath());
    {
        Tabulon w;
        QCOMPARE(w.size(), QSize(600, 400));
        QCOMPARE(w.windowTitle(), QStringLiteral("Tabulon"));
        QCOMPARE(w.objectName(), QStringLiteral("TabulonClass"));
        QCOMPARE(w.metaObject()->className(), "Tabulon");
        QCOMPARE(w.metaObject()->superClass(), &QMainWindow::staticMetaObject);
        QCOMPARE(w.metaObject()->methodCount(), QMainWindow::staticMetaObject.methodCount());
        QCOMPARE(w.metaObject()->propertyCount(), QMainWindow::staticMetaObject.propertyCount());

        auto *menu = w.findChild<QMenuBar *>(QStringLiteral("menuBar"), Qt::FindDirectChildrenOnly);
        auto *tools = w.findChild<QToolBar *>(QStringLiteral("mainToolBar"), Qt::FindDirectChildrenOnly);
        auto *central = w.findChild<QWidget *>(QStringLiteral("centralWidget"), Qt::FindDirectChildrenOnly);
        auto *status = w.findChild<QStatusBar *>(QStringLiteral("statusBar"), Qt::FindDirectChildrenOnly);
        QVERIFY(menu && tools && central && status);
        QCOMPARE(w.ui.menuBar, menu);
        QCOMPARE(w.ui.mainToolBar, tools);
        QCOMPARE(w.ui.centralWidget, central);
        QCOMPARE(w.ui.statusBar, status);
        QCOMPARE(w.menuWidget(), menu);
        QCOMPARE(w.centralWidget(), central);
        QCOMPARE(w.statusBar(), status);
        QCOMPARE(w.toolBarArea(tools), Qt::TopToolBarArea);
        QVERIFY(menu->actions().isEmpty());
        QVERIFY(tools->actions().isEmpty());
        QVERIFY(status->currentMessage().isEmpty());

        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.size(), QSize(600, 400));
        QVERIFY(menu->geometry().bottom() < tools->geometry().top());
        QVERIFY(tools->geometry().bottom() < central->geometry().top());
        QVERIFY(central->geometry().bottom() < status->geometry().top());

        QVERIFY(QFile::exists(snapshotFile()));
    }
    QVERIFY(!QFile::exists(snapshotFile()));
    QCOMPARE(fileBytes(sourcePath()), source);
}

void tst_window::panelLayout()
{
    WorkDir dir;
    const QString error = layOut(threeDays, QByteArray());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    Tabulon w;

    QWidget *central = w.ui.centralWidget;
    QVERIFY(w.mainLayout);
    QCOMPARE(central->layout(), w.mainLayout);
    QCOMPARE(w.mainLayout->count(), 2);
    const Panel p = panel(w);
    QVERIFY(p.row && p.dates && p.sn && p.query);
    QCOMPARE(p.row->metaObject(), &QWidget::staticMetaObject);
    QCOMPARE(p.row->parent(), central);
    QCOMPARE(p.row->windowType(), Qt::Widget);
    QVERIFY(!p.row->isWindow());
    QVERIFY(qobject_cast<QHBoxLayout *>(p.row->layout()));
    QCOMPARE(w.mainLayout->itemAt(1)->widget(), grid(w));
    QCOMPARE(grid(w)->parent(), central);

    QLayout *row = p.row->layout();
    auto *dateLabel = qobject_cast<QLabel *>(row->itemAt(0)->widget());
    auto *snLabel = qobject_cast<QLabel *>(row->itemAt(2)->widget());
    QVERIFY(dateLabel && snLabel);
    QCOMPARE(dateLabel->text(), QString::fromUtf8("请选择日期"));
    QCOMPARE(snLabel->text(), QString::fromUtf8("根据SN查询"));
    QCOMPARE(p.query->text(), QString::fromUtf8("查询"));
    QVERIFY(p.sn->text().isEmpty());
    for (int i = 0; i < row->count(); ++i) {
        QCOMPARE(row->itemAt(i)->widget()->parent(), p.row);
        QCOMPARE(row->itemAt(i)->alignment(), Qt::Alignment());
        QCOMPARE(static_cast<QBoxLayout *>(row)->stretch(i), 0);
    }
    for (int i = 0; i < w.mainLayout->count(); ++i) {
        QCOMPARE(w.mainLayout->itemAt(i)->alignment(), Qt::Alignment());
        QCOMPARE(w.mainLayout->stretch(i), 0);
    }

    QVERIFY(!p.dates->isEditable());
    QStringList items;
    for (int i = 0; i < p.dates->count(); ++i) {
        items << p.dates->itemText(i);
        QVERIFY(!p.dates->itemData(i).isValid());
    }
    QCOMPARE(items, (QStringList{"2024-03-07", "2024-03-05", QString::fromUtf8("Prüfung-日〇")}));

    // The first day is on screen without any user action.
    QCOMPARE(p.dates->currentIndex(), 0);
    QCOMPARE(headers(grid(w)), (QStringList{"SN", "a", "b"}));
    QCOMPARE(rows(grid(w)), QStringList{"A7|x7|y7"});
}

// The mouse, the arrow keys and the wheel all end in a change of the current
// index; each change reads the chosen day afresh into a new grid.
void tst_window::dateChangeRebuildsGrid()
{
    WorkDir dir;
    const QString error = layOut(threeDays, QByteArray());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    Tabulon w;
    const Panel p = panel(w);
    QVERIFY(p.dates);

    QPointer<QTableWidget> old = grid(w);
    p.dates->setCurrentIndex(1);
    QVERIFY(!old);
    QCOMPARE(headers(grid(w)), (QStringList{"SN", "a"}));
    QCOMPARE(rows(grid(w)), (QStringList{"A5|x5", "  A1 |padded", "A1|plain", "|no sn"}));

    old = grid(w);
    p.dates->setCurrentIndex(1);
    QCOMPARE(grid(w), old.data());

    // On screen the new grid appears in the old one's place.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    p.dates->setCurrentIndex(0);
    QTRY_VERIFY(grid(w)->isVisible());
    QCOMPARE(grid(w)->geometry().top() > p.row->geometry().bottom(), true);
    p.dates->setCurrentIndex(1);
    QTRY_VERIFY(grid(w)->isVisible());

    old = grid(w);
    QTest::keyClick(p.dates, Qt::Key_Down);
    QCOMPARE(p.dates->currentIndex(), 2);
    QVERIFY(!old);
    QCOMPARE(headers(grid(w)), (QStringList{"SN", QString::fromUtf8("结果")}));

    QTest::keyClick(p.dates, Qt::Key_Up);
    QCOMPARE(p.dates->currentIndex(), 1);
    QCOMPARE(headers(grid(w)), (QStringList{"SN", "a"}));

    old = grid(w);
    const QPoint centre = p.dates->rect().center();
    QWheelEvent wheel(QPointF(centre), QPointF(p.dates->mapToGlobal(centre)), QPoint(), QPoint(0, 120), Qt::NoButton,
        Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(p.dates, &wheel);
    QCOMPARE(p.dates->currentIndex(), 0);
    QVERIFY(!old);
    QCOMPARE(rows(grid(w)), QStringList{"A7|x7|y7"});
}

// The combo shows the name decoded from UTF-8 and hands the same bytes back
// to both views, so the rows of that table arrive.
void tst_window::nonAsciiTableNameRoundTrips()
{
    WorkDir dir;
    const QString error = layOut(threeDays, QByteArray("[customName]\n结果 = Ergebnis\n"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    Tabulon w;
    const Panel p = panel(w);
    QVERIFY(p.dates && p.sn && p.query);

    StreamCapture err(std::cerr);
    p.dates->setCurrentIndex(2);
    QCOMPARE(p.dates->currentText().toUtf8(),
        QByteArray("Pr\xC3\xBC"
                   "fung-\xE6\x97\xA5\xE3\x80\x87"));
    QCOMPARE(headers(grid(w)), (QStringList{"SN", "Ergebnis"}));
    QCOMPARE(rows(grid(w)), (QStringList{QString::fromUtf8("Ü1|合格"), QString::fromUtf8("Ü2|不合格")}));

    p.sn->setText(QString::fromUtf8("Ü2"));
    QTest::mouseClick(p.query, Qt::LeftButton);
    QCOMPARE(headers(grid(w)), (QStringList{"sn", "send", "Ergebnis"}));
    QCOMPARE(rows(grid(w)), QStringList{QString::fromUtf8("Ü2|0|不合格")});
    QCOMPARE(err.text(), std::string());
}

void tst_window::emptyDatabase()
{
    WorkDir dir;
    const QString error = layOut("", QByteArray());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    StreamCapture err(std::cerr);
    Tabulon w;
    QVERIFY2(QByteArray::fromStdString(err.text()).startsWith("SQL error: "), err.text().c_str());
    QCOMPARE(lineCount(err.text()), 1);

    const Panel p = panel(w);
    QVERIFY(p.dates && p.query);
    QCOMPARE(p.dates->count(), 0);
    QCOMPARE(grid(w)->columnCount(), 0);
    QCOMPARE(grid(w)->rowCount(), 0);
}

void tst_window::tableView_data()
{
    QTest::addColumn<QByteArray>("sql");
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QStringList>("header");
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<QByteArray>("error");

    const QByteArray fourColumns = "CREATE TABLE d(sn TEXT, send INTEGER, a TEXT, b TEXT);"
                                   "INSERT INTO d VALUES ('S1', 1, 'x', 'y'), ('S2', 0, 'u', 'v');";

    QTest::newRow("no configuration") << QByteArray(
        "CREATE TABLE d(sn TEXT, send INTEGER, station TEXT, voltage REAL, note TEXT);"
        "INSERT INTO d VALUES ('S1', 1, 'ST-1', 12.5, NULL), ('S2', 0, 'ST-2', NULL, 'ok');")
                                      << QByteArray() << QByteArray("d")
                                      << QStringList{"SN", "station", "voltage", "note"}
                                      << QStringList{"S1|ST-1|12.5|", "S2|ST-2||ok"} << QByteArray();
    // "sn" and "send" name no column item: SN stays, and nothing is lost.
    QTest::newRow("hidden columns and display names")
        << QByteArray("CREATE TABLE d(sn TEXT, send INTEGER, station TEXT, Result TEXT, voltage REAL, note TEXT,"
                      "               op TEXT, remark TEXT);"
                      "INSERT INTO d VALUES ('S1', 1, 'ST-1', 'R1', 12.5, 'n1', '张伟', NULL),"
                      "                     (NULL, 0, 'ST-2', 'R2', NULL, 'n2', 'Müller', 'x');")
        << QByteArray("[avoid]\nstation = true\nnote = true\nsn = true\nsend = true\nOp = true\n"
                      "[customName]\nsn = 序列号\nSN = 序列号\nresult = 小结果\nvoltage = 电压 (V)\nremark =\n")
        << QByteArray("d") << QStringList{"SN", "Result", QString::fromUtf8("电压 (V)"), "op", ""}
        << QStringList{QString::fromUtf8("S1|R1|12.5|张伟|"), QString::fromUtf8("|R2||Müller|x")} << QByteArray();
    QTest::newRow("hidden entry naming no column of this day")
        << fourColumns << QByteArray("[avoid]\ntemperature = true\n") << QByteArray("d") << QStringList{"SN", "a", "b"}
        << QStringList{"S1|x|y", "S2|u|v"} << QByteArray();
    QTest::newRow("more hidden entries than columns")
        << fourColumns << QByteArray("[avoid]\nt1 = true\nt2 = true\nt3 = true\nt4 = true\na = true\n")
        << QByteArray("d") << QStringList{"SN", "b"} << QStringList{"S1|y", "S2|v"} << QByteArray();
    QTest::newRow("only sn and send") << QByteArray(
        "CREATE TABLE d(sn TEXT, send INTEGER); INSERT INTO d VALUES ('S1', 1);")
                                      << QByteArray() << QByteArray("d") << QStringList{"SN"} << QStringList{"S1"}
                                      << QByteArray();
    QTest::newRow("empty table") << QByteArray("CREATE TABLE d(sn TEXT, send INTEGER, a TEXT);") << QByteArray()
                                 << QByteArray("d") << QStringList{} << QStringList{} << QByteArray();
    QTest::newRow("missing table") << fourColumns << QByteArray() << QByteArray("missing") << QStringList{}
                                   << QStringList{} << QByteArray("SQL error: no such table: missing\n");
}

void tst_window::tableView()
{
    QFETCH(QByteArray, sql);
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, table);
    QFETCH(QStringList, header);
    QFETCH(QStringList, cells);
    QFETCH(QByteArray, error);

    WorkDir dir;
    const QString problem = layOut(sql.toStdString(), ini);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    Tabulon w;

    QPointer<QTableWidget> old = grid(w);
    StreamCapture err(std::cerr);
    w.showTable(table.toStdString());
    QCOMPARE(QByteArray::fromStdString(err.text()), error);
    QVERIFY(!old);
    QCOMPARE(w.mainLayout->itemAt(1)->widget(), grid(w));
    QCOMPARE(headers(grid(w)), header);
    QCOMPARE(rows(grid(w)), cells);
    QCOMPARE(grid(w)->columnCount(), header.size());
    QCOMPARE(grid(w)->rowCount(), cells.size());
    QVERIFY(numberedRows(grid(w)));
    QVERIFY2(defaultsDiffer(grid(w)).isEmpty(), qPrintable(defaultsDiffer(grid(w))));
}

void tst_window::oneGridAfterManyRefreshes()
{
    WorkDir dir;
    const QString error = layOut(threeDays, QByteArray());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    Tabulon w;
    const Panel p = panel(w);
    QVERIFY(p.dates && p.sn && p.query);

    for (int i = 0; i < 12; ++i) {
        p.dates->setCurrentIndex(i % 3);
        p.sn->setText(i % 2 ? QStringLiteral("A1") : QString());
        p.query->click();
        w.showTable("2024-03-05");
    }
    const QList<QTableWidget *> grids = w.ui.centralWidget->findChildren<QTableWidget *>();
    QCOMPARE(grids.size(), 1);
    QCOMPARE(grids.front(), grid(w));
    QCOMPARE(w.mainLayout->count(), 2);
    QCOMPARE(w.mainLayout->itemAt(1)->widget(), grid(w));
    QCOMPARE(rows(grid(w)).size(), 4);
}

// Enough rows that repeated texts, thousands of distinct ones and NULLs all
// meet in one grid.
void tst_window::largeDayShownWhole()
{
    const int count = 6000;
    const std::string sql = "CREATE TABLE d(sn TEXT, send INTEGER, state TEXT, code TEXT, station TEXT, value TEXT);"
                            "INSERT INTO d WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < "
        + std::to_string(count - 1)
        + ") SELECT 'S' || i, i % 2, CASE i % 3 WHEN 0 THEN 'PASS' WHEN 1 THEN 'FAIL' ELSE '' END,"
          " 'c' || i, 'ST-' || (i % 4), CASE WHEN i % 7 = 0 THEN NULL ELSE 'v' || (i / 2) END FROM n;";
    WorkDir dir;
    const QString error = layOut(sql, QByteArray("[avoid]\nstation = true\n[customName]\nvalue = 值\n"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    Tabulon w;

    QStringList expected;
    const char *states[] = {"PASS", "FAIL", ""};
    for (int i = 0; i < count; ++i) {
        const QString value = i % 7 ? QStringLiteral("v%1").arg(i / 2) : QString();
        expected << QStringLiteral("S%1|%2|c%1|%3").arg(i).arg(QLatin1String(states[i % 3]), value);
    }
    QCOMPARE(headers(grid(w)), (QStringList{"SN", "state", "code", QString::fromUtf8("值")}));
    QCOMPARE(rows(grid(w)), expected);
    QVERIFY2(defaultsDiffer(grid(w)).isEmpty(), qPrintable(defaultsDiffer(grid(w))));

    w.showSnResult("d", "S5001");
    QCOMPARE(headers(grid(w)), (QStringList{"sn", "send", "state", "code", QString::fromUtf8("值")}));
    QCOMPARE(rows(grid(w)), QStringList{"S5001|1|PASS|c5001|v2500"});
}

// The day view's cells keep their text in a compact form, but to anyone
// who asks they are plain items: the same answers for every role, before
// and after an edit or a colour is set, and in a clone.
void tst_window::cellsActLikePlainItems()
{
    WorkDir dir;
    const QString error = layOut("CREATE TABLE d(sn TEXT, send INTEGER, result TEXT);"
                                 "INSERT INTO d VALUES('S1', 0, 'Prüfung 合格'), ('S2', 1, NULL);",
        QByteArray());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    Tabulon w;
    const QString original = QString::fromUtf8("Prüfung 合格");
    QCOMPARE(grid(w)->item(0, 1)->text(), original);
    QCOMPARE(grid(w)->item(1, 1)->text(), QString());

    const QList<int> roles{Qt::DisplayRole, Qt::EditRole, Qt::ToolTipRole, Qt::BackgroundRole, Qt::UserRole};
    auto sameAnswers = [&roles](const QTableWidgetItem *cell, const QTableWidgetItem &plain) {
        for (int role : roles) {
            if (cell->data(role) != plain.data(role))
                return QStringLiteral("role %1: %2 vs %3")
                    .arg(role)
                    .arg(cell->data(role).toString(), plain.data(role).toString());
        }
        return QString(cell->type() == plain.type() && cell->flags() == plain.flags() ? "" : "type or flags");
    };
    QTableWidgetItem plain(original);
    QTableWidgetItem *cell = grid(w)->item(0, 1);
    QCOMPARE(sameAnswers(cell, plain), QString());
    const std::unique_ptr<QTableWidgetItem> copy(cell->clone());
    QCOMPARE(sameAnswers(copy.get(), plain), QString());

    // Whatever reads the cell through the model, a drag's mime data or a
    // stream gets its text, as from a plain item.
    const QAbstractItemModel *model = grid(w)->model();
    const QModelIndex at = model->index(0, 1);
    const QMap<int, QVariant> textOnly{{Qt::DisplayRole, original}};
    QCOMPARE(model->itemData(at), textOnly);
    const std::unique_ptr<QMimeData> mime(model->mimeData({at}));
    QVERIFY(mime);
    QByteArray encoded = mime->data(model->mimeTypes().value(0));
    QDataStream decoding(&encoded, QIODevice::ReadOnly);
    int row = -1;
    int column = -1;
    QMap<int, QVariant> dragged;
    decoding >> row >> column >> dragged;
    QCOMPARE(QString("%1,%2").arg(row).arg(column), QStringLiteral("0,1"));
    QCOMPARE(dragged, textOnly);
    QByteArray streamed;
    QDataStream writing(&streamed, QIODevice::WriteOnly);
    writing << *cell;
    QTableWidgetItem read;
    QDataStream reading(streamed);
    reading >> read;
    QCOMPARE(sameAnswers(&read, plain), QString());

    // As the operator's edit arrives: through the model, in the edit role.
    QVERIFY(grid(w)->model()->setData(grid(w)->model()->index(0, 1), QStringLiteral("edited"), Qt::EditRole));
    plain.setData(Qt::EditRole, QStringLiteral("edited"));
    QCOMPARE(sameAnswers(cell, plain), QString());
    QCOMPARE(grid(w)->item(0, 1)->text(), QStringLiteral("edited"));

    QTableWidgetItem *other = grid(w)->item(1, 0);
    QTableWidgetItem otherPlain(QStringLiteral("S2"));
    other->setBackground(Qt::red);
    otherPlain.setBackground(Qt::red);
    other->setToolTip(QStringLiteral("tip"));
    otherPlain.setToolTip(QStringLiteral("tip"));
    QCOMPARE(sameAnswers(other, otherPlain), QString());
    const std::unique_ptr<QTableWidgetItem> otherCopy(other->clone());
    QCOMPARE(sameAnswers(otherCopy.get(), otherPlain), QString());
}

void tst_window::snView_data()
{
    QTest::addColumn<QByteArray>("sql");
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("header");
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<QByteArray>("errorStart");

    const QByteArray day = "CREATE TABLE d(sn TEXT, send INTEGER, a TEXT, b REAL);"
                           "INSERT INTO d VALUES ('A1', 1, 'x', NULL), ('A2', 0, 'y', 2.5), ('A2', 1, 'z', 3.5),"
                           "                     ('', 0, 'no sn', NULL), ('  A3 ', 1, 'padded', 1.5);";
    const QStringList notFound{QString::fromUtf8("找不到该数据！")};

    QTest::newRow("one match") << day << QByteArray() << "A1" << QStringList{"sn", "send", "a", "b"}
                               << QStringList{"A1|1|x|NULL"} << QByteArray();
    QTest::newRow("hidden columns and display names")
        << day << QByteArray("[avoid]\nsend = true\nA = true\n[customName]\nsn = 序列号\nb = 值\nB = wrong\n") << "A1"
        << QStringList{QString::fromUtf8("序列号"), "a", QString::fromUtf8("值")} << QStringList{"A1|x|NULL"}
        << QByteArray();
    QTest::newRow("the sn column can be hidden here")
        << day << QByteArray("[avoid]\nsn = true\n") << "A1" << QStringList{"send", "a", "b"} << QStringList{"1|x|NULL"}
        << QByteArray();
    QTest::newRow("two matches, no trailing empty columns")
        << day << QByteArray("[avoid]\nsend = true\n") << "A2" << QStringList{"sn", "a", "b", "sn", "a", "b"}
        << QStringList{"A2|y|2.5|A2|z|3.5"} << QByteArray();
    QTest::newRow("hidden entry naming no column keeps the last value")
        << day << QByteArray("[avoid]\ntemperature = true\n") << "A1" << QStringList{"sn", "send", "a", "b"}
        << QStringList{"A1|1|x|NULL"} << QByteArray();
    QTest::newRow("no match") << day << QByteArray() << "ZZ" << QStringList{} << QStringList{""} << QByteArray();
    QTest::newRow("letter case matters") << day << QByteArray() << "a1" << QStringList{} << QStringList{""}
                                         << QByteArray();
    QTest::newRow("blanks are part of the serial number")
        << day << QByteArray() << "  A3 " << QStringList{"sn", "send", "a", "b"} << QStringList{"  A3 |1|padded|1.5"}
        << QByteArray();
    QTest::newRow("blanks typed around a stored number")
        << day << QByteArray() << " A1" << QStringList{} << QStringList{""} << QByteArray();
    QTest::newRow("empty field") << day << QByteArray("[avoid]\nSN = true\n[customName]\nSN = 序列号\nsn = 序列号\n")
                                 << "" << QStringList{"SN"} << notFound << QByteArray();
    QTest::newRow("missing table") << QByteArray() << QByteArray("[customName]\nSN = 序列号\n") << "A1"
                                   << QStringList{"SN"} << notFound << QByteArray("Failed to execute query: ");
}

// Driven through the query button, so the panel's reading of the field is
// part of what is shown.
void tst_window::snView()
{
    QFETCH(QByteArray, sql);
    QFETCH(QByteArray, ini);
    QFETCH(QString, typed);
    QFETCH(QStringList, header);
    QFETCH(QStringList, cells);
    QFETCH(QByteArray, errorStart);

    WorkDir dir;
    const QString problem = layOut(sql.toStdString(), ini);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    std::unique_ptr<Tabulon> w;
    {
        StreamCapture quiet(std::cerr);
        w = std::make_unique<Tabulon>();
    }
    const Panel p = panel(*w);
    QVERIFY(p.sn && p.query);

    QPointer<QTableWidget> old = grid(*w);
    p.sn->setText(typed);
    StreamCapture err(std::cerr);
    QTest::mouseClick(p.query, Qt::LeftButton);
    const QByteArray printed = QByteArray::fromStdString(err.text());
    if (errorStart.isEmpty()) {
        QCOMPARE(printed, QByteArray());
    } else {
        QVERIFY2(printed.startsWith(errorStart), printed.constData());
        QCOMPARE(printed.count('\n'), 1);
        QVERIFY(printed.endsWith('\n'));
    }
    QVERIFY(!old);
    QCOMPARE(p.sn->text(), typed);
    QCOMPARE(w->mainLayout->itemAt(1)->widget(), grid(*w));
    QCOMPARE(headers(grid(*w)), header);
    QCOMPARE(rows(grid(*w)), cells);
    QCOMPARE(grid(*w)->columnCount(), header.size());
    QCOMPARE(grid(*w)->rowCount(), 1);
    QVERIFY(numberedRows(grid(*w)));
    QVERIFY2(defaultsDiffer(grid(*w)).isEmpty(), qPrintable(defaultsDiffer(grid(*w))));
}

void tst_window::onlyTheButtonStartsALookup()
{
    WorkDir dir;
    const QString error = layOut(threeDays, QByteArray());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    Tabulon w;
    const Panel p = panel(w);
    QVERIFY(p.sn && p.query);

    // A new grid may get the old one's address back; a guarded pointer
    // tells whether the old one went.
    const QPointer<QTableWidget> shown = grid(w);
    QTest::keyClicks(p.sn, QStringLiteral("A7"));
    QTest::keyClick(p.sn, Qt::Key_Return);
    QTest::keyClick(p.sn, Qt::Key_Enter);
    QVERIFY(shown);
    QCOMPARE(grid(w), shown.data());
    QCOMPARE(p.sn->text(), QStringLiteral("A7"));

    QTest::mouseClick(p.query, Qt::LeftButton);
    QVERIFY(!shown);
    QCOMPARE(rows(grid(w)), QStringList{"A7|1|x7|y7"});
}

void tst_window::queryResultStaysUntilDateChanges()
{
    WorkDir dir;
    const QString error = layOut(threeDays, QByteArray());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    Tabulon w;
    const Panel p = panel(w);
    QVERIFY(p.dates && p.sn && p.query);

    p.dates->setCurrentIndex(1);
    p.sn->setText(QStringLiteral("A1"));
    p.query->click();
    const QPointer<QTableWidget> result = grid(w);
    QCOMPARE(rows(grid(w)), QStringList{"A1|1|plain"});

    p.dates->setCurrentIndex(1);
    QVERIFY(result);
    QCOMPARE(grid(w), result.data());
    QCOMPARE(rows(grid(w)), QStringList{"A1|1|plain"});

    p.dates->setCurrentIndex(0);
    p.dates->setCurrentIndex(1);
    QCOMPARE(headers(grid(w)), (QStringList{"SN", "a"}));
    QCOMPARE(rows(grid(w)).size(), 4);
    QCOMPARE(p.sn->text(), QStringLiteral("A1"));
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
