#include "ListBox.h"

#include "Application.h"
#include "ByteListModel.h"
#include "Exception.h"

#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPalette>
#include <climits>
#include <new>

namespace fw {

namespace {

// Holds the list quiet while this API changes items or selection, so OnClick stays the
// user's alone.
struct Quiet {
    explicit Quiet(int& depth) : m_depth(depth) { ++m_depth; }
    ~Quiet() { --m_depth; }
    int& m_depth;
};

}  // namespace

ListBox::ListBox(QWidget* parent)
    : Control<QListView>(parent), m_model(new ByteListModel(this)) {
    setModel(m_model);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setLayoutMode(QListView::SinglePass);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { selectionChangedByUser(); });
}

int ListBox::count() const { return m_model->count(); }

void ListBox::checkIndex(int index, int limit) const {
    if (index < 0 || index >= limit)
        throw EStringListError(format("リストのインデックスが範囲を超えています (%d)", index));
}

QByteArray ListBox::item(int index) const {
    checkIndex(index, count());
    return m_model->at(index);
}

int ListBox::add(const QByteArray& item) {
    const int index = count();
    insert(index, item);
    return index;
}

void ListBox::insert(int index, const QByteArray& item) {
    checkIndex(index, count() + 1);
    if (count() == INT_MAX) throw EStringListError("行を挿入できません");
    Quiet quiet(m_quiet);
    try {
        m_model->insert(index, item);
    } catch (const std::bad_alloc&) {
        throw EStringListError("行を挿入できません");
    }
}

void ListBox::deleteItem(int index) {
    checkIndex(index, count());
    Quiet quiet(m_quiet);
    m_model->remove(index);
}

void ListBox::clear() {
    Quiet quiet(m_quiet);
    m_model->clear();
}

std::vector<QByteArray> ListBox::items() const { return m_model->items().toVector(); }

const ByteList& ListBox::itemList() const { return m_model->items(); }

void ListBox::setItems(ByteList items) {
    Quiet quiet(m_quiet);
    m_model->setItems(std::move(items));
}

int ListBox::itemIndex() const {
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.constFirst().row();
}

void ListBox::setItemIndex(int index) {
    Quiet quiet(m_quiet);
    if (index == -1) {
        selectionModel()->clearSelection();
        return;
    }
    checkIndex(index, count());
    const QModelIndex row = m_model->index(index);
    selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect);
    scrollTo(row);
}

void ListBox::beginUpdate() {
    if (m_updates++ == 0) setUpdatesEnabled(false);
}

void ListBox::endUpdate() {
    if (m_updates == 0) return;
    if (--m_updates == 0) setUpdatesEnabled(true);  // repaints once
}

int ListBox::itemHeight() const { return m_model->itemHeight(); }

void ListBox::setItemHeight(int height) {
    Quiet quiet(m_quiet);
    const int selected = itemIndex();
    m_model->setItemHeight(height);
    if (selected >= 0) setItemIndex(selected);
}

void ListBox::setColor(const QColor& background) {
    QPalette p = palette();
    p.setColor(QPalette::Base, background);
    setPalette(p);
}

void ListBox::setFontColor(const QColor& text) {
    QPalette p = palette();
    p.setColor(QPalette::Text, text);
    setPalette(p);
}

void ListBox::selectionChangedByUser() {
    if (m_quiet > 0) return;
    m_pressChanged = true;
    if (OnClick) guard([this] { OnClick(this); });
}

QItemSelectionModel::SelectionFlags ListBox::selectionCommand(const QModelIndex& index,
                                                              const QEvent* event) const {
    const auto command = QListView::selectionCommand(index, event);
    const bool selects = command.testFlag(QItemSelectionModel::Select) && index.isValid();
    if (m_quiet == 0 && !selects) return QItemSelectionModel::NoUpdate;
    return command;
}

void ListBox::mousePressEvent(QMouseEvent* event) {
    m_pressChanged = false;
    const QModelIndex at = indexAt(event->position().toPoint());
    m_pressRow = at.isValid() ? at.row() : -1;
    QListView::mousePressEvent(event);
}

void ListBox::mouseReleaseEvent(QMouseEvent* event) {
    QListView::mouseReleaseEvent(event);
    // A click on the entry that is already selected acts on it again.
    const QModelIndex at = indexAt(event->position().toPoint());
    const bool sameItem = at.isValid() && at.row() == m_pressRow && at.row() == itemIndex();
    const bool again = event->button() == Qt::LeftButton && sameItem && !m_pressChanged;
    m_pressRow = -1;
    if (again && OnClick) guard([this] { OnClick(this); });
}

}  // namespace fw
