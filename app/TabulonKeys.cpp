#include "Tabulon.h"
#include "copiedCells.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QMimeData>
#include <QSignalBlocker>
#include <QTableWidget>

// The window's keys: F5 shows the database as it is now, Ctrl+C and
// Ctrl+Shift+C copy the grid's selection. They belong to the window, so a
// field that copies its own text (the serial-number field) keeps Ctrl+C.
void Tabulon::installKeys(QComboBox *dates)
{
    auto *refreshKey = new QAction(this);
    refreshKey->setShortcut(Qt::Key_F5);
    addAction(refreshKey);
    connect(refreshKey, &QAction::triggered, this, [this, dates]() {
        refresh(dates);
    });
    auto *copyKey = new QAction(this);
    copyKey->setShortcut(QKeySequence::Copy);
    addAction(copyKey);
    connect(copyKey, &QAction::triggered, this, [this]() {
        copySelection(false);
    });
    auto *copyWithHeadersKey = new QAction(this);
    copyWithHeadersKey->setShortcut(Qt::CTRL | Qt::SHIFT | Qt::Key_C);
    addAction(copyWithHeadersKey);
    connect(copyWithHeadersKey, &QAction::triggered, this, [this]() {
        copySelection(true);
    });
}

// A new snapshot, taken as at start, and the date list read again; the
// date that was shown stays shown if the database still has it.
void Tabulon::refresh(QComboBox *dates)
{
    const QString shown = dates->currentText();
    controller.closeDatabase();
    controller.initPara();
    const std::vector<std::string> names = controller.getTableNames();
    {
        // Refilling is no choice of the operator's: the grid is rebuilt once.
        const QSignalBlocker quiet(dates);
        dates->clear();
        for (const std::string &name : names)
            dates->addItem(QString::fromStdString(name));
        dates->setCurrentIndex(std::max(0, dates->findText(shown)));
    }
    showTable(dates->currentText().toStdString());
}

// One cell copies its text alone, as the grid itself would.
void Tabulon::copySelection(bool withHeaders)
{
    const QList<QTableWidgetSelectionRange> ranges = tableWidget->selectedRanges();
    const bool oneCell = ranges.size() <= 1
        && (ranges.isEmpty() || (ranges.first().rowCount() == 1 && ranges.first().columnCount() == 1));
    if (oneCell && !withHeaders) {
        const QModelIndex current = tableWidget->currentIndex();
        if (current.isValid())
            QApplication::clipboard()->setText(current.data(Qt::DisplayRole).toString());
        return;
    }
    if (ranges.isEmpty())
        return;
    const CopiedCells copied = copiedCells(*tableWidget, withHeaders);
    auto *mime = new QMimeData;
    mime->setText(copied.text);
    mime->setHtml(copied.html);
    QApplication::clipboard()->setMimeData(mime);
}
