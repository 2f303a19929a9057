// TGauge's properties: defaults, clamping, range refusals, loading, and when it repaints.
#include "Colors.h"
#include "Exception.h"
#include "Gauges.h"

#include <QPalette>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

// The error's message, or "" when the call does not throw EInvalidOperation.
template <class Call>
std::string RefusalOf(Call call) {
    try {
        call();
    } catch (const EInvalidOperation& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(Gauge, NewGaugeHasTheDocumentedDefaults) {
    TGauge gauge;
    EXPECT_EQ(gauge.MinValue(), 0);
    EXPECT_EQ(gauge.MaxValue(), 100);
    EXPECT_EQ(gauge.Progress(), 0);
    EXPECT_EQ(gauge.Percentage(), 0);
    EXPECT_EQ(gauge.Kind(), gkHorizontalBar);
    EXPECT_TRUE(gauge.ShowText());
    EXPECT_EQ(gauge.BorderStyle(), bsSingle);
    EXPECT_EQ(gauge.ForeColor(), QColor(0, 0, 0));
    EXPECT_EQ(gauge.BackColor(), QColor(255, 255, 255));
    EXPECT_EQ(gauge.width(), 100);
    EXPECT_EQ(gauge.height(), 100);
    EXPECT_TRUE(gauge.ParentColor());
    EXPECT_TRUE(gauge.ParentFont());
    EXPECT_EQ(gauge.Color(), fw::clWindow);
    EXPECT_TRUE(gauge.testAttribute(Qt::WA_OpaquePaintEvent));
    EXPECT_FALSE(gauge.autoFillBackground());
}

TEST(Gauge, ColorFollowsTheParentUntilSet) {
    QWidget parent;
    QPalette palette = parent.palette();
    palette.setColor(parent.backgroundRole(), QColor(10, 20, 30));
    parent.setPalette(palette);
    TGauge gauge(&parent);
    EXPECT_EQ(gauge.Color(), QColor(10, 20, 30));
    gauge.SetColor(QColor(1, 2, 3));
    EXPECT_FALSE(gauge.ParentColor());
    EXPECT_EQ(gauge.Color(), QColor(1, 2, 3));
    gauge.SetParentColor(true);
    EXPECT_EQ(gauge.Color(), QColor(10, 20, 30));
}

TEST(Gauge, FontFollowsTheParentUntilSet) {
    QWidget parent;
    QFont big = parent.font();
    big.setPointSize(31);
    parent.setFont(big);
    TGauge gauge(&parent);
    EXPECT_EQ(gauge.Font().pointSize(), 31);
    QFont small = gauge.Font();
    small.setPointSize(7);
    gauge.SetFont(small);
    EXPECT_FALSE(gauge.ParentFont());
    EXPECT_EQ(gauge.Font().pointSize(), 7);
    gauge.SetParentFont(true);
    EXPECT_TRUE(gauge.ParentFont());
    EXPECT_EQ(gauge.Font().pointSize(), 31);
}

TEST(Gauge, ProgressIsClampedIntoTheRangeAndRangeChangesDragItAlong) {
    TGauge gauge;
    gauge.SetProgress(150);
    EXPECT_EQ(gauge.Progress(), 100);
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);

    gauge.SetProgress(80);
    gauge.SetMaxValue(50);
    EXPECT_EQ(gauge.Progress(), 50);
    gauge.SetMinValue(20);
    gauge.SetProgress(25);
    gauge.SetMinValue(40);
    EXPECT_EQ(gauge.Progress(), 40);
}

TEST(Gauge, PercentageTruncatesAndIsZeroForAnEmptyRange) {
    TGauge gauge;
    gauge.SetMaxValue(3);
    gauge.SetProgress(2);
    EXPECT_EQ(gauge.Percentage(), 66);  // not rounded up to 67

    gauge.SetMinValue(-10);
    gauge.SetMaxValue(10);
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Percentage(), 25);

    gauge.SetMinValue(10);  // equal to MaxValue: accepted
    EXPECT_EQ(gauge.MinValue(), 10);
    EXPECT_EQ(gauge.Progress(), 10);
    EXPECT_EQ(gauge.Percentage(), 0);
}

TEST(Gauge, PercentageStaysInRangeForARangeWiderThanThirtyOneBits) {
    TGauge gauge;
    gauge.SetMaxValue(INT_MAX);
    gauge.SetMinValue(INT_MIN);
    gauge.SetProgress(0);
    EXPECT_EQ(gauge.Percentage(), 50);  // 2^31 of 2^32 - 1
    gauge.SetProgress(-1);
    EXPECT_EQ(gauge.Percentage(), 49);  // just under one half, truncated
    gauge.SetProgress(INT_MAX);
    EXPECT_EQ(gauge.Percentage(), 100);
    gauge.SetProgress(INT_MIN);
    EXPECT_EQ(gauge.Percentage(), 0);
}

TEST(Gauge, CrossedRangesAreRefusedWithTheBoundsInTheMessage) {
    TGauge gauge;
    gauge.SetProgress(30);
    EXPECT_EQ(RefusalOf([&] { gauge.SetMinValue(101); }),
              "-2147483647 から 99 の間の値でなければなりません");
    EXPECT_EQ(gauge.MinValue(), 0);
    EXPECT_EQ(gauge.Progress(), 30);

    gauge.SetMinValue(10);
    EXPECT_EQ(RefusalOf([&] { gauge.SetMaxValue(5); }),
              "11 から 2147483647 の間の値でなければなりません");
    EXPECT_EQ(gauge.MaxValue(), 100);

    gauge.SetMaxValue(10);  // equal to MinValue: accepted
    EXPECT_EQ(gauge.MaxValue(), 10);
    EXPECT_EQ(gauge.Progress(), 10);
}

TEST(Gauge, RangesAreTakenAsTheyComeWhileLoading) {
    TGauge gauge;
    gauge.beginLoad();
    EXPECT_TRUE(gauge.Loading());
    gauge.SetMinValue(200);  // read before MaxValue, which is still the default 100
    gauge.SetMaxValue(300);
    gauge.SetProgress(250);
    gauge.endLoad();
    EXPECT_FALSE(gauge.Loading());
    EXPECT_EQ(gauge.MinValue(), 200);
    EXPECT_EQ(gauge.MaxValue(), 300);
    EXPECT_EQ(gauge.Progress(), 250);
    EXPECT_EQ(gauge.Percentage(), 50);

    EXPECT_EQ(RefusalOf([&] { gauge.SetMaxValue(100); }),
              "201 から 2147483647 の間の値でなければなりません");
}

class GaugeRepaint : public ::testing::Test {
protected:
    void SetUp() override {
        window.resize(200, 200);
        gauge = new TGauge(&window);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        QCoreApplication::processEvents();
    }
    // Paints since the last call; setters repaint synchronously, so no event loop is needed.
    int NewPaints() {
        const int now = gauge->PaintCount();
        const int paints = now - seen;
        seen = now;
        return paints;
    }
    QWidget window;
    TGauge* gauge = nullptr;
    int seen = 0;
};

TEST_F(GaugeRepaint, ProgressRepaintsOnlyWhenTheWholePercentageMoves) {
    gauge->SetMaxValue(1000);
    NewPaints();
    gauge->SetProgress(9);
    EXPECT_EQ(gauge->Percentage(), 0);
    EXPECT_EQ(NewPaints(), 0);
    gauge->SetProgress(10);
    EXPECT_EQ(gauge->Percentage(), 1);
    EXPECT_EQ(NewPaints(), 1);
    gauge->SetProgress(5000);  // clamped to 1000
    EXPECT_EQ(NewPaints(), 1);
    gauge->SetProgress(1000);
    EXPECT_EQ(NewPaints(), 0);
}

TEST_F(GaugeRepaint, SettersRepaintAtOnceOnlyWhenTheValueChanges) {
    NewPaints();
    gauge->SetKind(gkHorizontalBar);
    gauge->SetShowText(true);
    gauge->SetBorderStyle(bsSingle);
    gauge->SetForeColor(QColor(0, 0, 0));
    gauge->SetBackColor(QColor(255, 255, 255));
    gauge->SetMinValue(0);
    gauge->SetMaxValue(100);
    EXPECT_EQ(NewPaints(), 0);

    gauge->SetKind(gkPie);
    gauge->SetShowText(false);
    gauge->SetBorderStyle(bsNone);
    gauge->SetForeColor(QColor(0, 0, 255));
    gauge->SetBackColor(QColor(0, 255, 0));
    gauge->SetMinValue(-1);
    gauge->SetMaxValue(99);
    EXPECT_EQ(NewPaints(), 7);
}

TEST(BltBitmap, MakeLikeTakesTheSizeAndFillsWithTheFrameColour) {
    QImage model(7, 3, QImage::Format_ARGB32);
    TBltBitmap bitmap;
    bitmap.MakeLike(model);
    EXPECT_EQ(bitmap.size(), QSize(7, 3));
    EXPECT_EQ(bitmap.pixelColor(0, 0), fw::clWindowFrame);
    EXPECT_EQ(bitmap.pixelColor(6, 2), fw::clWindowFrame);
}
