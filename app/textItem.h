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
    explicit TextItem(std::string text);
    TextItem(const TextItem &other) = default;

    QVariant data(int role) const override;
    void setData(int role, const QVariant &value) override;
    QTableWidgetItem *clone() const override;

private:
    // In this order the flag fits in the base's tail padding where the
    // compiler reuses it (GCC, Clang): 80 bytes an item instead of 88.
    bool plain = false;
    std::string utf8;
};
