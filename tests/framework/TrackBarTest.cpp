#include "TrackBar.h"

#include <QSlider>
#include <QTest>
#include <gtest/gtest.h>

using fw::TrackBar;

namespace {

struct Counted {
    TrackBar bar;
    int changes = 0;
    std::vector<int> seen;  // position() as OnChange saw it
    Counted() {
        bar.OnChange = [this](TObject* sender) {
            EXPECT_EQ(sender, &bar);
            ++changes;
            seen.push_back(bar.position());
        };
    }
};

}  // namespace

TEST(TrackBar, RangeChangeMovesThePositionToTheNearerEnd) {
    Counted c;
    c.bar.setMaximum(100);
    c.bar.setPosition(80);
    c.changes = 0;

    c.bar.setMaximum(50);
    EXPECT_EQ(c.bar.position(), 50);
    c.bar.setMinimum(20);  // 50 still inside
    EXPECT_EQ(c.bar.position(), 50);
    c.bar.setMinimum(70);  // above the maximum: the maximum follows
    EXPECT_EQ(c.bar.minimum(), 70);
    EXPECT_EQ(c.bar.maximum(), 70);
    EXPECT_EQ(c.bar.position(), 70);
    EXPECT_EQ(c.changes, 2);  // one per real move, none for the range change that kept it

    c.bar.setMaximum(200);
    c.bar.setPosition(-5);
    EXPECT_EQ(c.bar.position(), 70);
    c.bar.setPosition(1000);
    EXPECT_EQ(c.bar.position(), 200);
}

TEST(TrackBar, OnChangeOnlyWhenAProgrammaticSetReallyChangesThePosition) {
    Counted c;
    c.bar.setMaximum(10);
    c.bar.setPosition(0);  // already 0
    EXPECT_EQ(c.changes, 0);
    c.bar.setPosition(4);
    c.bar.setPosition(4);
    EXPECT_EQ(c.changes, 1);
    EXPECT_EQ(c.seen, std::vector<int>{4});
    c.bar.setPosition(99);  // clamps to 10: a change
    c.bar.setPosition(99);  // clamps to 10 again: none
    EXPECT_EQ(c.changes, 2);
}

TEST(TrackBar, OnChangeOnEveryUserScrollEvenWithoutMovement) {
    Counted c;
    c.bar.setBounds(0, 0, 200, 30);
    c.bar.setMaximum(3);
    c.bar.setPosition(2);
    c.changes = 0;
    c.seen.clear();

    QTest::keyClick(c.bar.slider(), Qt::Key_Right);
    QTest::keyClick(c.bar.slider(), Qt::Key_Right);  // at the maximum: still a notification
    EXPECT_EQ(c.changes, 2);
    EXPECT_EQ(c.seen, (std::vector<int>{3, 3}));  // the new position is visible in the handler
    EXPECT_EQ(c.bar.position(), 3);
    QTest::keyClick(c.bar.slider(), Qt::Key_Home);
    EXPECT_EQ(c.changes, 3);
    EXPECT_EQ(c.bar.position(), 0);
}

TEST(TrackBar, DragNotifiesEachStepAndItsEnd) {
    Counted c;
    c.bar.setBounds(0, 0, 220, 30);
    c.bar.setMaximum(10);
    c.bar.show();
    QSlider* slider = c.bar.slider();
    slider->setSliderDown(true);  // what a press on the thumb does
    slider->setSliderPosition(3);
    slider->setSliderPosition(6);
    slider->setSliderDown(false);  // the release
    EXPECT_EQ(c.bar.position(), 6);
    EXPECT_EQ(c.changes, 3);
    EXPECT_EQ(c.seen, (std::vector<int>{3, 6, 6}));
}

TEST(TrackBar, OrientationChangeExchangesWidthAndHeightOnce) {
    TrackBar bar;
    bar.setBounds(0, 64, 366, 24);
    bar.show();
    EXPECT_EQ(bar.orientation(), Qt::Horizontal);
    bar.setOrientation(Qt::Horizontal);  // same value: nothing
    EXPECT_EQ(bar.size(), QSize(366, 24));
    bar.setOrientation(Qt::Vertical);
    EXPECT_EQ(bar.geometry(), QRect(0, 64, 24, 366));
    EXPECT_EQ(bar.slider()->orientation(), Qt::Vertical);
    bar.setOrientation(Qt::Vertical);
    EXPECT_EQ(bar.size(), QSize(24, 366));
    EXPECT_EQ(bar.slider()->size(), QSize(24, 366));
}

TEST(TrackBar, VerticalHasItsMinimumAtTheTop) {
    TrackBar bar;
    bar.setOrientation(Qt::Vertical);
    bar.setBounds(0, 0, 25, 300);
    bar.setMaximum(100);
    bar.setPosition(50);
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
    QTest::keyClick(bar.slider(), Qt::Key_Down);
    EXPECT_EQ(bar.position(), 51);
    // A click on the groove above the thumb pages toward the top, at once: 51 - 100 / 5. (With
    // the marks on the right, the groove runs down the left part of the slider.)
    QTest::mouseClick(bar.slider(), Qt::LeftButton, {}, QPoint(8, 4));
    EXPECT_EQ(bar.position(), 31);
    QTest::mouseClick(bar.slider(), Qt::LeftButton, {}, QPoint(8, 296));
    EXPECT_EQ(bar.position(), 51);
}
