#pragma once

#include <QTableWidgetItem>

#include <string>

// A grid cell as the day view makes millions of them: a plain item of the
// default type that keeps its text as the UTF-8 bytes it was read as, in
// the item itself when short, and turns it into a QString only when asked.
// A plain item holds the text in a QVariant in a vector beside it, as
// UTF-16: two more allocations and about twice the bytes for every cell.
// Anything set on the item (an edit, a colour) moves the text into the
// plain item's own storage first, so from then on it is a plain item.
class TextItem : public QTableWidgetItem {
public:
    explicit TextItem(const std::string &text);
    TextItem(const TextItem &other);
    TextItem &operator=(const TextItem &) = delete;
    ~TextItem() override;

    QVariant data(int role) const override;
    void setData(int role, const QVariant &value) override;
    QTableWidgetItem *clone() const override;

private:
    static constexpr quint32 inlineSize = 16;
    bool isInline() const
    {
        return size <= inlineSize;
    }
    const char *bytes() const
    {
        return isInline() ? inlineText : heapText;
    }
    void setText(const char *text, quint32 length);
    void dropText();

    // The size and the flag fit in the base's tail padding where the
    // compiler reuses it (GCC, Clang): 64 bytes an item, text of up to 16
    // bytes included. Texts are never near 2 GB (SQLite's limit is 1 GB).
    quint32 size : 31;
    quint32 plain : 1;
    union {
        char inlineText[inlineSize];
        char *heapText;
    };
};
