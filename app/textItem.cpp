#include "textItem.h"

TextItem::TextItem(std::string text)
    : QTableWidgetItem(QTableWidgetItem::Type)
    , utf8(std::move(text))
{
}

QVariant TextItem::data(int role) const
{
    if (!plain && (role == Qt::DisplayRole || role == Qt::EditRole))
        return QString::fromStdString(utf8);
    return QTableWidgetItem::data(role);
}

void TextItem::setData(int role, const QVariant &value)
{
    if (!plain) {
        plain = true;
        QTableWidgetItem::setData(Qt::DisplayRole, QString::fromStdString(utf8));
        utf8 = std::string();
    }
    QTableWidgetItem::setData(role, value);
}

QTableWidgetItem *TextItem::clone() const
{
    return new TextItem(*this);
}
