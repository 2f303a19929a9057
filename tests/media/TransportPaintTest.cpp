// The bar's pixels: frames, raised and pressed bevels, glyph places, the focus rectangle and the
// disabled pictures. The player window's bar is saved as transport-bar.png for a look by eye.
#include "MediaTest.h"

#include "Colors.h"

#include <QDir>
#include <QTest>

#include <cstdlib>

namespace {

const QColor Face = fw::clBtnFace;
const QColor Frame = fw::clWindowFrame;
const QColor Shadow = fw::clBtnShadow;
const QColor Highlight = fw::clBtnHighlight;
const QColor Dot(255 - Face.red(), 255 - Face.green(), 255 - Face.blue());
constexpr QRgb Key = qRgb(128, 128, 0);

class TransportPaintTest : public MediaTest {
protected:
    // The player window's bar: [btPlay, btPause, btStep, btBack], 113 x 25, the application
    // enabling Play, Step and Back.
    void SetUp() override {
        player->setGeometry(32, 0, 113, 25);
        player->SetVisibleButtons({btPlay, btPause, btStep, btBack});
        player->SetAutoEnable(false);
        player->SetEnabledButtons({btPlay, btStep, btBack});
        player->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(player.get()));
    }
    QImage Grab() { return player->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    // The glyph at (x, y): its own colours, the face where it has the key colour. Pixels for
    // which `skip` is true are not compared.
    template <class Skip>
    static void ExpectGlyph(const QImage& bar, const QImage& glyph, int x, int y, Skip skip) {
        ASSERT_FALSE(glyph.isNull());
        int wrong = 0;
        for (int gy = 0; gy < glyph.height(); ++gy)
            for (int gx = 0; gx < glyph.width(); ++gx) {
                if (skip(x + gx, y + gy)) continue;
                const QRgb g = glyph.pixel(gx, gy) | 0xFF000000;
                const QColor want = g == (Key | 0xFF000000) ? Face : QColor(g);
                wrong += bar.pixelColor(x + gx, y + gy) != want;
            }
        EXPECT_EQ(wrong, 0) << "glyph at " << x << "," << y;
    }
    static void ExpectGlyph(const QImage& bar, const QImage& glyph, int x, int y) {
        ExpectGlyph(bar, glyph, x, y, [](int, int) { return false; });
    }
};

void Save(const QImage& image, const char* name) {
    const char* folder = std::getenv("TAVOLEN_TEST_OUTPUT");
    const QString dir = folder ? QString::fromLocal8Bit(folder) : QDir::temp().filePath("tavolen-test-output");
    QDir().mkpath(dir);
    EXPECT_TRUE(image.save(QDir(dir).filePath(name), "PNG"));
}

}  // namespace

TEST_F(TransportPaintTest, RaisedButtonsWithTheirGlyphs) {
    player->clearFocus();
    const QImage bar = Grab();
    Save(bar, "transport-bar.png");
    ASSERT_EQ(bar.size(), QSize(113, 25));
    for (int x : {0, 28, 56, 84, 112})
        for (int y = 0; y < 25; ++y) ASSERT_EQ(bar.pixelColor(x, y), Frame) << x << "," << y;
    for (int x = 0; x < 113; ++x) {
        EXPECT_EQ(bar.pixelColor(x, 0), Frame);
        EXPECT_EQ(bar.pixelColor(x, 24), Frame);
    }
    for (int left : {0, 28, 56, 84}) {
        EXPECT_EQ(bar.pixelColor(left + 1, 1), Highlight);
        EXPECT_EQ(bar.pixelColor(left + 1, 23), Highlight);
        EXPECT_EQ(bar.pixelColor(left + 27, 1), Highlight);  // the top line runs to the last column
        EXPECT_EQ(bar.pixelColor(left + 2, 23), Shadow);
        EXPECT_EQ(bar.pixelColor(left + 26, 23), Shadow);
        EXPECT_EQ(bar.pixelColor(left + 27, 23), Shadow);
        EXPECT_EQ(bar.pixelColor(left + 27, 2), Shadow);
        EXPECT_EQ(bar.pixelColor(left + 2, 2), Face);
        EXPECT_EQ(bar.pixelColor(left + 26, 22), Face);
    }
    // BX = 29 div 2 - width div 2, BY = 25 div 2 - height div 2.
    ExpectGlyph(bar, player->Glyph(btPlay, glColored), 6, 4);
    ExpectGlyph(bar, player->Glyph(btPause, glDisabled), 28 + 8, 4);
    ExpectGlyph(bar, player->Glyph(btStep, glColored), 56 + 4, 4);
    ExpectGlyph(bar, player->Glyph(btBack, glColored), 84 + 4, 4);
    EXPECT_EQ(bar.pixelColor(3, 3), Face);  // no focus, no focus rectangle
}

TEST_F(TransportPaintTest, PressedButtonIsSunkAndItsGlyphMovesByOne) {
    player->SetColoredButtons({});
    QTest::mousePress(player.get(), Qt::LeftButton, {}, QPoint(70, 12));  // btStep
    const QImage bar = Grab();
    Save(bar, "transport-bar-pressed.png");
    QTest::mouseRelease(player.get(), Qt::LeftButton, {}, QPoint(70, 12));
    const int left = 56;
    EXPECT_EQ(bar.pixelColor(left + 1, 23), Shadow);
    EXPECT_EQ(bar.pixelColor(left + 1, 2), Shadow);
    EXPECT_EQ(bar.pixelColor(left + 27, 1), Shadow);
    EXPECT_EQ(bar.pixelColor(left + 2, 23), Face);
    EXPECT_EQ(bar.pixelColor(left + 27, 23), Face);
    EXPECT_EQ(bar.pixelColor(left + 27, 12), Face);
    ExpectGlyph(bar, player->Glyph(btStep, glEnabled), left + 5, 5);
    ExpectGlyph(bar, player->Glyph(btPlay, glEnabled), 6, 4);  // its neighbours stay raised
    EXPECT_EQ(bar.pixelColor(left + 28 + 1, 1), Highlight);

    const QImage released = Grab();
    ExpectGlyph(released, player->Glyph(btStep, glEnabled), left + 4, 4);
    EXPECT_EQ(released.pixelColor(left + 27, 12), Shadow);
}

TEST_F(TransportPaintTest, FocusRectangleIsDottedThreePixelsInside) {
    player->activateWindow();
    player->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(player.get()));
    ASSERT_TRUE(player->hasFocus());
    QImage bar = Grab();
    Save(bar, "transport-bar-focus.png");
    // Rectangle (3, 3)-(25, 21) of btPlay, every other pixel inverted.
    EXPECT_EQ(bar.pixelColor(3, 3), Dot);
    EXPECT_EQ(bar.pixelColor(4, 3), Face);
    EXPECT_EQ(bar.pixelColor(5, 3), Dot);
    EXPECT_EQ(bar.pixelColor(25, 21), Dot);
    EXPECT_EQ(bar.pixelColor(3, 21), Dot);
    EXPECT_EQ(bar.pixelColor(3, 22), Face);
    EXPECT_EQ(bar.pixelColor(26, 3), Face);
    EXPECT_EQ(bar.pixelColor(31, 3), Face);  // btPause carries none

    QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
    QCoreApplication::sendEvent(player.get(), &right);
    bar = Grab();
    EXPECT_EQ(bar.pixelColor(3, 3), Face);
    EXPECT_EQ(bar.pixelColor(31, 3), Dot);

    player->clearFocus();
    bar = Grab();
    EXPECT_EQ(bar.pixelColor(31, 3), Face);
}

TEST_F(TransportPaintTest, NoFocusRectangleWhileTheFocusButtonIsHidden) {
    player->SetVisibleButtons({btStep, btBack});  // FocusButton stays btPlay, now hidden
    player->activateWindow();
    player->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(player.get()));
    const QImage bar = Grab();
    EXPECT_EQ(player->FocusButton(), btPlay);
    EXPECT_EQ(bar.pixelColor(3, 3), Face);
    EXPECT_EQ(bar.pixelColor(28 + 3, 3), Face);
}

TEST_F(TransportPaintTest, DisabledControlDrawsOnlyDisabledGlyphs) {
    player->setEnabled(false);
    const QImage bar = Grab();
    ExpectGlyph(bar, player->Glyph(btPlay, glDisabled), 6, 4);
    ExpectGlyph(bar, player->Glyph(btPause, glDisabled), 28 + 8, 4);
    ExpectGlyph(bar, player->Glyph(btStep, glDisabled), 56 + 4, 4);
    ExpectGlyph(bar, player->Glyph(btBack, glDisabled), 84 + 4, 4);
}

TEST_F(TransportPaintTest, AutoEnableWithoutADeviceDrawsOnlyDisabledGlyphs) {
    player->SetAutoEnable(true);
    const QImage bar = Grab();
    ExpectGlyph(bar, player->Glyph(btPlay, glDisabled), 6, 4);
    ExpectGlyph(bar, player->Glyph(btStep, glDisabled), 56 + 4, 4);
    ExpectGlyph(bar, player->Glyph(btBack, glDisabled), 84 + 4, 4);
    QTest::mousePress(player.get(), Qt::LeftButton, {}, QPoint(10, 12));
    EXPECT_FALSE(player->Tracking());
}

TEST_F(TransportPaintTest, GlyphsAreCentredInATallerBar) {
    player->resize(113, 41);
    const QImage bar = Grab();
    ExpectGlyph(bar, player->Glyph(btPlay, glColored), 6, 41 / 2 - 8);
}
