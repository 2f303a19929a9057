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
        const QByteArray& item = at(index.row());
        if (item.size() <= kMaxShownBytes) return QString::fromUtf8(item);
        return QString::fromUtf8(item.left(kMaxShownBytes)) + QChar(0x2026);
    }
    if (role == Qt::SizeHintRole && m_itemHeight > 0) return QSize(1, m_itemHeight);
    return {};
}

void ByteListModel::insert(int index, const QByteArray& item) {
    // Grow first: running out of memory must leave the list and its views as they were, not
    // between beginInsertRows and endInsertRows.
    if (m_items.size() == m_items.capacity()) m_items.reserve(m_items.size() * 2 + 16);
    beginInsertRows({}, index, index);
    m_items.insert(m_items.begin() + index, item);
    endInsertRows();
}

void ByteListModel::remove(int index) {
    beginRemoveRows({}, index, index);
    m_items.erase(m_items.begin() + index);
    endRemoveRows();
}

void ByteListModel::clear() {
    beginResetModel();
    std::vector<QByteArray>().swap(m_items);
    endResetModel();
}

void ByteListModel::setItems(std::vector<QByteArray> items) {
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
