// Where the picture goes: the picture rectangle and the display window.
#include "MediaTest.h"

#include <QWidget>

#include <memory>

namespace {

class PictureAndDisplayTest : public MediaTest {
protected:
    const TRect untouched{1, 2, 3, 4};
};

}  // namespace

TEST_F(PictureAndDisplayTest, ReadingFillsTheCallersRectangleFromTheService) {
    mci.device.destination = RECT{5, 6, 320, 240};
    OpenDevice();
    TRect rect = untouched;
    player->GetPictureRect(rect);
    EXPECT_EQ(rect, (TRect{5, 6, 320, 240}));
    EXPECT_EQ(Sent(), "MCI_WHERE");
    EXPECT_EQ(mci.calls[0].flags, MCI_DGV_WHERE_DESTINATION);
}

TEST_F(PictureAndDisplayTest, ReadingWhileClosedOrWithoutAPictureAsksNothing) {
    TRect rect = untouched;
    player->GetPictureRect(rect);
    EXPECT_EQ(rect, untouched);
    mci.device.hasVideo = false;
    OpenDevice();
    player->GetPictureRect(rect);
    EXPECT_EQ(rect, untouched);
    EXPECT_EQ(Sent(), "");
}

TEST_F(PictureAndDisplayTest, ZeroSizeMeansTheNaturalSize) {
    mci.device.destination = RECT{0, 0, 640, 360};
    OpenDevice();
    player->SetPictureRect(TRect{42, 74, 0, 0});
    ASSERT_EQ(Sent(), "MCI_PUT");
    EXPECT_EQ(mci.calls[0].flags, MCI_DGV_PUT_DESTINATION | MCI_DGV_RECT);
    EXPECT_EQ(mci.calls[0].rect.left, 42);
    EXPECT_EQ(mci.calls[0].rect.top, 74);
    EXPECT_EQ(mci.calls[0].rect.right, 640);
    EXPECT_EQ(mci.calls[0].rect.bottom, 360);
}

TEST_F(PictureAndDisplayTest, OnlyOneZeroIsSentAsItIs) {
    OpenDevice();
    player->SetPictureRect(TRect{42, 74, 0, 100});
    player->SetPictureRect(TRect{42, 74, 100, 0});
    ASSERT_EQ(mci.calls.size(), 2u);
    EXPECT_EQ(mci.calls[0].rect.right, 0);
    EXPECT_EQ(mci.calls[0].rect.bottom, 100);
    EXPECT_EQ(mci.calls[1].rect.right, 100);
    EXPECT_EQ(mci.calls[1].rect.bottom, 0);
}

TEST_F(PictureAndDisplayTest, WritingWhileClosedOrWithoutAPictureSendsNothing) {
    player->SetPictureRect(TRect{0, 0, 10, 10});
    mci.device.hasVideo = false;
    OpenDevice();
    player->SetPictureRect(TRect{0, 0, 10, 10});
    EXPECT_EQ(Sent(), "");
}

TEST_F(PictureAndDisplayTest, DisplayStoredWhileClosedIsAttachedAtTheNextOpen) {
    auto display = std::make_unique<QWidget>();
    player->SetDisplay(display.get());
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(player->Display(), display.get());
    player->SetFileName("clip.avi");
    player->Open();
    const MciCall* window = mci.last(MCI_WINDOW);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->window, display.get());
    EXPECT_EQ(window->device, 1u);
}

TEST_F(PictureAndDisplayTest, WritingWhileOpenAttachesAndARefusalForgetsTheWindow) {
    OpenDevice();
    QWidget first, second;
    player->SetDisplay(&first);
    EXPECT_EQ(Sent(), "MCI_WINDOW");
    EXPECT_EQ(mci.calls[0].flags, MCI_WAIT | MCI_DGV_WINDOW_HWND);
    EXPECT_EQ(player->Display(), &first);

    mci.refuse[MCI_WINDOW] = MCIERR_NO_WINDOW;
    player->SetDisplay(&second);
    EXPECT_EQ(player->Display(), nullptr);
    EXPECT_EQ(player->LastError(), MCIERR_NO_WINDOW);
    player.reset();
}

TEST_F(PictureAndDisplayTest, NoneIsStoredWithoutTakingThePictureAway) {
    OpenDevice();
    player->SetDisplay(nullptr);
    EXPECT_EQ(Sent(), "");
}

TEST_F(PictureAndDisplayTest, DestroyedDisplayIsDetachedAndForgotten) {
    OpenDevice();
    auto display = std::make_unique<QWidget>();
    player->SetDisplay(display.get());
    mci.clear();
    display.reset();
    EXPECT_EQ(player->Display(), nullptr);
    ASSERT_EQ(Sent(), "MCI_WINDOW");
    EXPECT_EQ(mci.calls[0].window, MCI_DGV_WINDOW_DEFAULT);
    EXPECT_EQ(mci.calls[0].flags, MCI_WAIT | MCI_DGV_WINDOW_HWND);
}

TEST_F(PictureAndDisplayTest, DestroyedDisplayWhileClosedIsForgottenSilently) {
    auto display = std::make_unique<QWidget>();
    player->SetDisplay(display.get());
    display.reset();
    EXPECT_EQ(player->Display(), nullptr);
    EXPECT_EQ(Sent(), "");
}

TEST_F(PictureAndDisplayTest, ReplacedDisplayIsNoLongerWatched) {
    OpenDevice();
    auto old = std::make_unique<QWidget>();
    QWidget current;
    player->SetDisplay(old.get());
    player->SetDisplay(&current);
    mci.clear();
    old.reset();
    EXPECT_EQ(player->Display(), &current);
    EXPECT_EQ(Sent(), "");
    player.reset();
}
