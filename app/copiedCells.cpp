#include "copiedCells.h"

#include <QTableWidget>

#include <algorithm>
#include <vector>

namespace {

struct Bounds {
    int top = 0;
    int left = 0;
    int bottom = -1;
    int right = -1;
};

Bounds boundsOf(const QList<QTableWidgetSelectionRange> &ranges)
{
    Bounds b;
    if (ranges.isEmpty())
        return b;
    b = {
        ranges.first().topRow(), ranges.first().leftColumn(), ranges.first().bottomRow(), ranges.first().rightColumn()};
    for (const QTableWidgetSelectionRange &r : ranges) {
        b.top = std::min(b.top, r.topRow());
        b.left = std::min(b.left, r.leftColumn());
        b.bottom = std::max(b.bottom, r.bottomRow());
        b.right = std::max(b.right, r.rightColumn());
    }
    return b;
}

void appendField(QString &text, const QString &field)
{
    const bool quoted = std::any_of(field.begin(), field.end(), [](QChar c) {
        return c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('"');
    });
    if (!quoted) {
        text += field;
        return;
    }
    text += QLatin1Char('"');
    for (const QChar c : field) {
        if (c == QLatin1Char('"'))
            text += QLatin1Char('"');
        text += c;
    }
    text += QLatin1Char('"');
}

// Escaped for HTML; a line break stays inside its cell.
void appendHtml(QString &html, const QString &field)
{
    for (const QChar c : field) {
        switch (c.unicode()) {
        case '<':
            html += QLatin1String("&lt;");
            break;
        case '>':
            html += QLatin1String("&gt;");
            break;
        case '&':
            html += QLatin1String("&amp;");
            break;
        case '"':
            html += QLatin1String("&quot;");
            break;
        case '\r':
            break;
        case '\n':
            html += QLatin1String("<br style=\"mso-data-placement:same-cell\">");
            break;
        default:
            html += c;
        }
    }
}

// Which cells of one row are selected, as a mask over the bounds' columns.
void markRow(std::vector<char> &mask, int row, const Bounds &b, const QList<QTableWidgetSelectionRange> &ranges)
{
    if (ranges.size() == 1) {
        std::fill(mask.begin(), mask.end(), char(1));
        return;
    }
    std::fill(mask.begin(), mask.end(), char(0));
    for (const QTableWidgetSelectionRange &r : ranges) {
        if (row < r.topRow() || row > r.bottomRow())
            continue;
        std::fill(mask.begin() + (r.leftColumn() - b.left), mask.begin() + (r.rightColumn() - b.left + 1), char(1));
    }
}

// Excel reads x:str on the table and the number format of td as text for
// every cell; other spreadsheets take the cells as text anyway.
const char htmlStart[] = "<html xmlns:x=\"urn:schemas-microsoft-com:office:excel\"><head>"
                         "<meta charset=\"utf-8\"><style>td{mso-number-format:\"\\@\";}</style></head>"
                         "<body><table x:str>";
const char htmlEnd[] = "</table></body></html>";

void appendRow(CopiedCells &copied, const std::vector<QString> &fields, bool first)
{
    if (!first)
        copied.text += QLatin1Char('\n');
    copied.html += QLatin1String("<tr>");
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            copied.text += QLatin1Char('\t');
        appendField(copied.text, fields[i]);
        copied.html += QLatin1String("<td>");
        appendHtml(copied.html, fields[i]);
        copied.html += QLatin1String("</td>");
    }
    copied.html += QLatin1String("</tr>");
}

} // namespace

CopiedCells copiedCells(const QTableWidget &grid, bool withHeaders)
{
    const QList<QTableWidgetSelectionRange> ranges = grid.selectedRanges();
    const Bounds b = boundsOf(ranges);
    CopiedCells copied;
    copied.html = QLatin1String(htmlStart);
    const size_t width = size_t(std::max(0, b.right - b.left + 1));
    std::vector<QString> fields(width);
    if (withHeaders && width > 0) {
        for (int c = b.left; c <= b.right; ++c)
            fields[size_t(c - b.left)] = grid.model()->headerData(c, Qt::Horizontal).toString();
        appendRow(copied, fields, true);
    }
    std::vector<char> selected(width);
    for (int row = b.top; row <= b.bottom; ++row) {
        markRow(selected, row, b, ranges);
        for (int c = b.left; c <= b.right; ++c) {
            const QTableWidgetItem *item = selected[size_t(c - b.left)] ? grid.item(row, c) : nullptr;
            fields[size_t(c - b.left)] = item ? item->text() : QString();
        }
        appendRow(copied, fields, row == b.top && !(withHeaders && width > 0));
    }
    copied.html += QLatin1String(htmlEnd);
    return copied;
}
