#include "ByteListModel.h"

#include <QSize>
#include <QString>

namespace fw {

ByteListModel::ByteListModel(QObject* parent) : QAbstractListModel(parent) {}

int ByteListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant ByteListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count()) return {};
    if (role == Qt::DisplayRole) {
        // Laying out a line of millions of characters on every paint freezes the window; no
        // entry needs more than its beginning to be recognised.
        const QByteArrayView item = m_items.view(index.row());
        if (item.size() <= kMaxShownBytes) return QString::fromUtf8(item);
        return QString::fromUtf8(item.first(kMaxShownBytes)) + QChar(0x2026);
    }
    if (role == Qt::SizeHintRole && m_itemHeight > 0) return QSize(1, m_itemHeight);
    return {};
}

void ByteListModel::insert(int index, const QByteArray& item) {
    // Grow first: running out of memory must leave the list and its views as they were, not
    // between beginInsertRows and endInsertRows.
    m_items.reserve(1, item.size());
    beginInsertRows({}, index, index);
    m_items.insert(index, item);
    endInsertRows();
}

void ByteListModel::remove(int index) {
    beginRemoveRows({}, index, index);
    m_items.remove(index);
    endRemoveRows();
}

void ByteListModel::clear() {
    beginResetModel();
    m_items.clear();
    endResetModel();
}

void ByteListModel::setItems(ByteList items) {
    beginResetModel();
    m_items = std::move(items);
    endResetModel();
}

void ByteListModel::setItemHeight(int height) {
    if (height == m_itemHeight) return;
    m_itemHeight = height;
    // Every row's size hint changed; a reset lets the view drop its cached uniform size.
    beginResetModel();
    endResetModel();
}

}  // namespace fw
