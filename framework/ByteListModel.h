// The items of a ListBox: byte strings kept exactly as given, shown decoded as UTF-8 (bytes
// that are not UTF-8 show as replacement characters but are never rewritten). One compact
// ByteList, no second copy. UI thread only.
#pragma once

#include <QAbstractListModel>
#include "ByteList.h"

#include <QByteArray>

namespace fw {

class ByteListModel : public QAbstractListModel {
public:
    // Longest part of an item that is shown; the item itself is kept whole.
    static constexpr qsizetype kMaxShownBytes = 4095;

    explicit ByteListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    int count() const { return static_cast<int>(m_items.size()); }
    QByteArray at(int index) const { return m_items.at(index); }
    const ByteList& items() const { return m_items; }
    // 0 <= index <= count(); may throw std::bad_alloc, and then changes nothing.
    void insert(int index, const QByteArray& item);
    void remove(int index);                          // 0 <= index < count()
    void clear();
    void setItems(ByteList items);

    int itemHeight() const { return m_itemHeight; }
    void setItemHeight(int height);  // the size hint of every row; 0 leaves it to the style

private:
    ByteList m_items;
    int m_itemHeight = 0;
};

}  // namespace fw
