#include "Exception.h"
#include "ByteListModel.h"
#include "ListBox.h"

#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

using fw::ListBox;

// Allocations through operator new on this thread fail once this many more have been made;
// negative: none fails.
static thread_local long allocationsLeft = -1;

void* operator new(std::size_t size) {
    if (allocationsLeft == 0) throw std::bad_alloc();
    if (allocationsLeft > 0) --allocationsLeft;
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

struct Clicked {
    ListBox list;
    int clicks = 0;
    std::vector<int> indexes;  // itemIndex() as OnClick saw it
    Clicked() {
        list.setBounds(0, 0, 105, 201);
        list.setItemHeight(13);
        list.OnClick = [this](TObject* sender) {
            EXPECT_EQ(sender, &list);
            ++clicks;
            indexes.push_back(list.itemIndex());
        };
        for (const char* entry : {"10", "20", "30", "40"}) list.add(entry);
        list.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&list));
    }
    QPoint centreOf(int row) {
        return list.visualRect(list.model()->index(row, 0)).center();
    }
};

}  // namespace

TEST(ListBox, ByteStringsComeBackByteForByte) {
    ListBox list;
    const QByteArray sjis("\x83\x65\x83\x58\x83\x67", 6);  // Shift_JIS, not UTF-8
    const QByteArray broken("12\xff\xfe\x00z", 6);          // stray bytes and a NUL
    const QByteArray utf8("時間的差分");
    list.add(sjis);
    list.insert(0, broken);
    list.add(utf8);
    EXPECT_EQ(list.item(0), broken);
    EXPECT_EQ(list.item(1), sjis);
    EXPECT_EQ(list.item(2), utf8);
    EXPECT_EQ(list.items(), (std::vector<QByteArray>{broken, sjis, utf8}));
    // Shown decoded; the stored bytes are never the decoded text re-encoded.
    EXPECT_EQ(list.model()->index(2, 0).data().toString(), QString::fromUtf8("時間的差分"));

    list.setItems({sjis, broken});
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(list.item(0), sjis);
    EXPECT_EQ(list.item(1), broken);
}

TEST(ListBox, AHugeEntryIsShownByItsBeginningAndKeptWhole) {
    fw::ListBox list;
    const QByteArray huge(10'000'000, '7');
    list.add(huge);
    const QString shown = list.model()->index(0, 0).data(Qt::DisplayRole).toString();
    EXPECT_EQ(shown.size(), fw::ByteListModel::kMaxShownBytes + 1);
    EXPECT_TRUE(shown.endsWith(QChar(0x2026)));
    EXPECT_EQ(list.item(0), huge);
}

// Memory running out at any allocation of an insert: either the insert is announced to the
// views and done, or it throws before anything is announced and the list is as it was.
TEST(ListBox, RunningOutOfMemoryInAnInsertLeavesTheListAndItsViewsWhole) {
    const QByteArray longItem(300, 'x');  // its length is kept aside, in a table of its own
    for (int at : {0, 1, 2}) {
        SCOPED_TRACE(at);
        fw::ByteListModel model;
        int announced = 0, done = 0;
        QObject::connect(&model, &QAbstractItemModel::rowsAboutToBeInserted, [&] { ++announced; });
        QObject::connect(&model, &QAbstractItemModel::rowsInserted, [&] { ++done; });
        // Short items: Qt's own bookkeeping has its room after these, the long table has none.
        model.insert(0, "a");
        model.insert(1, "b");
        model.insert(2, "c");
        model.remove(2);
        const fw::ByteList before = model.items();
        for (long failAt = 0;; ++failAt) {
            const int announcedBefore = announced;
            allocationsLeft = failAt;
            try {
                model.insert(at, longItem);
                allocationsLeft = -1;
                EXPECT_GT(failAt, 0) << "the insert allocated nothing to fail";
                break;
            } catch (const std::bad_alloc&) {
                allocationsLeft = -1;
                ASSERT_EQ(announced, announcedBefore) << "failed after allocation " << failAt;
                ASSERT_EQ(model.items(), before);
            }
        }
        EXPECT_EQ(announced, done);
        EXPECT_EQ(model.at(at), longItem);
        EXPECT_EQ(model.count(), 3);
    }
}

TEST(ListBox, IndexesOutOfRangeRaiseTheListError) {
    ListBox list;
    list.add("1");
    EXPECT_EQ(list.itemIndex(), -1);
    try {
        list.item(-1);
        FAIL() << "no error";
    } catch (const EStringListError& error) {
        EXPECT_EQ(error.Message(), "リストのインデックスが範囲を超えています (-1)");
    }
    EXPECT_THROW(list.item(1), EStringListError);
    EXPECT_THROW(list.deleteItem(1), EStringListError);
    EXPECT_THROW(list.insert(2, "x"), EStringListError);
    EXPECT_THROW(list.setItemIndex(5), EStringListError);
    list.insert(1, "2");  // at the end is allowed
    EXPECT_EQ(list.count(), 2);
}

TEST(ListBox, OnClickForTheUsersSelectionOnly) {
    Clicked c;
    c.list.setItemIndex(1);
    c.list.deleteItem(1);  // the selected row goes away
    c.list.setItemIndex(-1);
    c.list.clear();
    for (const char* entry : {"10", "20", "30", "40"}) c.list.add(entry);
    EXPECT_EQ(c.clicks, 0);

    QTest::mouseClick(c.list.viewport(), Qt::LeftButton, {}, c.centreOf(2));
    EXPECT_EQ(c.indexes, std::vector<int>{2});
    QTest::keyClick(&c.list, Qt::Key_Down);
    EXPECT_EQ(c.indexes, (std::vector<int>{2, 3}));
    QTest::keyClick(&c.list, Qt::Key_Up);
    EXPECT_EQ(c.indexes, (std::vector<int>{2, 3, 2}));
    EXPECT_EQ(c.list.itemIndex(), 2);
}

TEST(ListBox, ClickOnTheSelectedEntryActsOnItAgain) {
    Clicked c;
    QTest::mouseClick(c.list.viewport(), Qt::LeftButton, {}, c.centreOf(1));
    QTest::mouseClick(c.list.viewport(), Qt::LeftButton, {}, c.centreOf(1));
    EXPECT_EQ(c.indexes, (std::vector<int>{1, 1}));
    c.list.setItemIndex(3);  // a programmatic selection, then the user clicks it
    QTest::mouseClick(c.list.viewport(), Qt::LeftButton, {}, c.centreOf(3));
    EXPECT_EQ(c.indexes, (std::vector<int>{1, 1, 3}));
}

TEST(ListBox, TheUserCannotLeaveTheListWithoutASelection) {
    Clicked c;
    QTest::mouseClick(c.list.viewport(), Qt::LeftButton, {}, c.centreOf(1));
    QTest::mouseClick(c.list.viewport(), Qt::LeftButton, Qt::ControlModifier, c.centreOf(1));
    QTest::mouseClick(c.list.viewport(), Qt::LeftButton, {}, QPoint(20, 190));  // below the items
    QTest::keyClick(&c.list, Qt::Key_Space, Qt::ControlModifier);
    EXPECT_EQ(c.list.itemIndex(), 1);
    for (int index : c.indexes) EXPECT_EQ(index, 1);
}

TEST(ListBox, AMillionItemsGoInAndOut) {
    ListBox list;
    list.setBounds(0, 0, 105, 201);
    list.show();
    std::vector<QByteArray> many;
    many.reserve(1'000'000);
    for (int i = 0; i < 1'000'000; ++i) many.push_back(QByteArray::number(i));
    list.setItems(std::move(many));
    ASSERT_EQ(list.count(), 1'000'000);
    list.setItemIndex(999'999);
    EXPECT_EQ(list.item(999'999), "999999");
    QCoreApplication::processEvents();
    list.clear();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.itemIndex(), -1);

    list.beginUpdate();
    for (int i = 0; i < 1'000'000; ++i) list.add(QByteArray::number(i));
    list.endUpdate();
    EXPECT_EQ(list.count(), 1'000'000);
    EXPECT_EQ(list.item(500'000), "500000");
    QCoreApplication::processEvents();
    list.clear();
    EXPECT_EQ(list.count(), 0);
}
