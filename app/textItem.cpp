#include "textItem.h"

#include <cstring>

TextItem::TextItem(const std::string &text)
    : QTableWidgetItem(QTableWidgetItem::Type)
    , size(0)
    , plain(0)
{
    setText(text.data(), quint32(text.size()));
}

TextItem::TextItem(const TextItem &other)
    : QTableWidgetItem(other)
    , size(0)
    , plain(other.plain)
{
    setText(other.bytes(), other.size);
}

TextItem::~TextItem()
{
    dropText();
}

void TextItem::setText(const char *text, quint32 length)
{
    size = length;
    if (!isInline()) {
        heapText = new char[length];
        std::memcpy(heapText, text, length);
    } else if (length > 0) {
        std::memcpy(inlineText, text, length);
    }
}

void TextItem::dropText()
{
    if (!isInline())
        delete[] heapText;
    size = 0;
}

QVariant TextItem::data(int role) const
{
    if (!plain && (role == Qt::DisplayRole || role == Qt::EditRole))
        return QString::fromUtf8(bytes(), int(size));
    return QTableWidgetItem::data(role);
}

void TextItem::setData(int role, const QVariant &value)
{
    if (!plain) {
        plain = 1;
        QTableWidgetItem::setData(Qt::DisplayRole, QString::fromUtf8(bytes(), int(size)));
        dropText();
    }
    QTableWidgetItem::setData(role, value);
}

QTableWidgetItem *TextItem::clone() const
{
    return new TextItem(*this);
}
