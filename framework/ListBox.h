// The list box: items are byte strings (an index entry goes back to disk exactly as it came),
// shown decoded as UTF-8; single selection; not sorted. A QListView over ByteListModel with
// uniform item sizes, so a million items insert, scroll and clear without delay.
//
// - itemIndex() is the selected row, -1 when none. setItemIndex selects (and shows) a row, -1
//   clears the selection; out of range raises EStringListError.
// - OnClick runs (through fw::guard) whenever the user changes the selection with the mouse or
//   the keys, and also when the user clicks the item that is already selected (so a second
//   click on an entry acts on it again). Changes made through this API never run it. As in a
//   classic list box, the user cannot take the selection away (Ctrl+click, Ctrl+Space or a
//   click below the last item leave it), so OnClick always finds an entry selected.
// - item(i), insert and deleteItem with an index out of range raise EStringListError
//   ("リストのインデックスが範囲を超えています (%d)"); a list that cannot take another item
//   raises EStringListError ("行を挿入できません") and is left unchanged.
// - beginUpdate/endUpdate nest; while any is open the list does not redraw, and the last
//   endUpdate repaints once.
// UI thread only.
#pragma once

#include "ByteList.h"
#include "Control.h"
#include "Events.h"

#include <QByteArray>
#include <QItemSelectionModel>
#include <QListView>
#include <vector>

namespace fw {

class ByteListModel;

class ListBox : public Control<QListView> {
public:
    explicit ListBox(QWidget* parent = nullptr);

    int count() const;
    QByteArray item(int index) const;
    int add(const QByteArray& item);  // returns the new item's index
    void insert(int index, const QByteArray& item);
    void deleteItem(int index);
    void clear();
    // Every item, copied one by one; itemList() is the list itself.
    std::vector<QByteArray> items() const;
    const ByteList& itemList() const;
    void setItems(ByteList items);

    int itemIndex() const;
    void setItemIndex(int index);

    void beginUpdate();
    void endUpdate();

    int itemHeight() const;
    void setItemHeight(int height);
    void setColor(const QColor& background);
    void setFontColor(const QColor& text);

    TNotifyEvent OnClick;

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void selectionChangedByUser();
    void checkIndex(int index, int limit) const;

    ByteListModel* m_model = nullptr;
    int m_quiet = 0;         // > 0 while this API changes the selection or the items
    int m_updates = 0;       // open beginUpdate calls
    bool m_pressChanged = false;  // the current mouse press already changed the selection
    int m_pressRow = -1;
};

}  // namespace fw
