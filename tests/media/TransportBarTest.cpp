// The transport bar's geometry, mouse, keyboard, click sequence and automatic availability.
#include "MediaTest.h"

#include "Exception.h"

#include <QLineEdit>
#include <QMouseEvent>
#include <QTest>

namespace {

// The player window's bar: four buttons, 113 wide, 25 high, the application decides.
constexpr TButtonSet PlayerButtons{btPlay, btPause, btStep, btBack};

class TransportBarTest : public MediaTest {
protected:
    std::vector<TMPBtnType> clicks, postClicks;

    void SetUp() override {
        player->OnClick = [this](TObject* sender, TMPBtnType button, bool&) {
            EXPECT_EQ(sender, player.get());
            clicks.push_back(button);
        };
        player->OnPostClick = [this](TObject*, TMPBtnType button) { postClicks.push_back(button); };
    }

    // The bar as the player window's description leaves it, shown.
    void PlayerBar(TButtonSet enabled = {btPlay, btStep, btBack}) {
        player->setGeometry(32, 0, 113, 25);
        player->SetVisibleButtons(PlayerButtons);
        player->SetAutoEnable(false);
        player->SetEnabledButtons(enabled);
        Show();
    }
    void Show() {
        player->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(player.get()));
    }
    // Centre of the k-th visible button.
    QPoint Button(int k) const { return {k * (player->ButtonWidth() - 1) + player->ButtonWidth() / 2, 12}; }
    void Key(Qt::Key key, bool autoRepeat = false) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(), autoRepeat);
        QCoreApplication::sendEvent(player.get(), &press);
    }
};

}  // namespace

// ---- size rule ---------------------------------------------------------------------------------

TEST_F(TransportBarTest, PlayerBarKeepsItsWidthWithButtonsOf29) {
    PlayerBar();
    EXPECT_EQ(player->width(), 113);
    EXPECT_EQ(player->height(), 25);
    EXPECT_EQ(player->ButtonWidth(), 29);
}

TEST_F(TransportBarTest, WidthIsCutToWhatTheButtonsTile) {
    PlayerBar();
    player->resize(320, 25);
    EXPECT_EQ(player->ButtonWidth(), 80);
    EXPECT_EQ(player->width(), 317);
    player->resize(341, 25);
    EXPECT_EQ(player->ButtonWidth(), 86);
    EXPECT_EQ(player->width(), 341);
}

TEST_F(TransportBarTest, NewBarGrowsToTheMinimumForNineButtons) {
    EXPECT_EQ(player->ButtonWidth(), 0);  // no size delivered yet
    Show();
    EXPECT_EQ(player->width(), 253);
    EXPECT_EQ(player->height(), 30);
    EXPECT_EQ(player->ButtonWidth(), 29);
}

TEST_F(TransportBarTest, HeightIsAtLeastTwenty) {
    PlayerBar();
    player->resize(113, 15);
    EXPECT_EQ(player->height(), 20);
    player->resize(113, 40);
    EXPECT_EQ(player->height(), 40);
}

TEST_F(TransportBarTest, VisibleButtonsBeforeTheWindowExistsGiveTheMinimumWidth) {
    player->setGeometry(0, 0, 400, 25);
    player->SetVisibleButtons({btPlay, btPause});
    Show();
    EXPECT_EQ(player->width(), 57);
    EXPECT_EQ(player->ButtonWidth(), 29);
}

TEST_F(TransportBarTest, FirstOpenGivesTheHiddenBarItsWindowAndItsSize) {
    QWidget window;  // a player window being created: not shown yet
    player->setParent(&window);
    player->setGeometry(32, 0, 113, 25);
    player->SetVisibleButtons(PlayerButtons);
    player->SetAutoEnable(false);
    EXPECT_EQ(player->ButtonWidth(), 0);
    OpenDevice();
    EXPECT_EQ(player->width(), 113);
    EXPECT_EQ(player->ButtonWidth(), 29);
    player->resize(320, 25);  // the window lays itself out before it is shown
    EXPECT_EQ(player->width(), 317);
    EXPECT_EQ(player->ButtonWidth(), 80);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(player->width(), 317);
    EXPECT_EQ(player->geometry().topLeft(), QPoint(32, 0));
    player->setParent(nullptr);
}

TEST_F(TransportBarTest, VisibleButtonsKeepTheButtonWidthOnceShown) {
    PlayerBar();
    player->resize(317, 25);  // buttons of 80
    player->SetVisibleButtons({btPlay, btPause});
    EXPECT_EQ(player->width(), 159);
    EXPECT_EQ(player->ButtonWidth(), 80);
}

TEST_F(TransportBarTest, EmptySetShowsOnlyTheOutlineAndIgnoresInput) {
    OpenDevice();
    player->SetVisibleButtons({});
    Show();
    EXPECT_EQ(player->VisibleCount(), 1);
    EXPECT_EQ(player->width(), 29);
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, QPoint(10, 10));
    Key(Qt::Key_Right);
    EXPECT_TRUE(clicks.empty());
    EXPECT_EQ(player->FocusButton(), btPlay);
}

// ---- mouse ---------------------------------------------------------------------------------------

TEST_F(TransportBarTest, SharedFrameColumnBelongsToTheLeftButton) {
    PlayerBar({btPlay, btPause, btStep, btBack});
    OpenDevice();
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, QPoint(28, 12));
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, QPoint(29, 12));
    EXPECT_EQ(clicks, (std::vector<TMPBtnType>{btPlay, btPause}));
}

TEST_F(TransportBarTest, DraggingOffAndReleasingGivesNoClickAndDraggingBackGivesOne) {
    PlayerBar();
    OpenDevice();
    QTest::mousePress(player.get(), Qt::LeftButton, {}, Button(0));
    EXPECT_TRUE(player->Tracking());
    EXPECT_TRUE(player->ShownPressed());
    QTest::mouseMove(player.get(), Button(2));
    EXPECT_FALSE(player->ShownPressed());
    QTest::mouseRelease(player.get(), Qt::LeftButton, {}, Button(2));
    EXPECT_TRUE(clicks.empty());
    EXPECT_FALSE(player->Tracking());

    QTest::mousePress(player.get(), Qt::LeftButton, {}, Button(0));
    QTest::mouseMove(player.get(), Button(2));
    QTest::mouseMove(player.get(), Button(0));
    EXPECT_TRUE(player->ShownPressed());
    QTest::mouseRelease(player.get(), Qt::LeftButton, {}, Button(0));
    EXPECT_EQ(clicks, std::vector<TMPBtnType>{btPlay});
    EXPECT_EQ(mci.count(MCI_PLAY), 1);
}

TEST_F(TransportBarTest, DoubleClickGivesTwoClicks) {
    PlayerBar();
    OpenDevice();
    // What the platform delivers for a double click: press, release, double click, release.
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                              QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
        const bool down = type != QEvent::MouseButtonRelease;
        QMouseEvent event(type, Button(2), player->mapToGlobal(Button(2)), Qt::LeftButton,
                          down ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(player.get(), &event);
    }
    EXPECT_EQ(clicks, (std::vector<TMPBtnType>{btStep, btStep}));
    EXPECT_EQ(mci.count(MCI_STEP), 2);
}

TEST_F(TransportBarTest, PressOnAnUnavailableButtonIsIgnoredEntirely) {
    PlayerBar();  // Pause is not enabled
    QTest::mousePress(player.get(), Qt::LeftButton, {}, Button(1));
    EXPECT_FALSE(player->Tracking());
    EXPECT_EQ(player->FocusButton(), btPlay);
    QTest::mouseRelease(player.get(), Qt::LeftButton, {}, Button(1));
    EXPECT_TRUE(clicks.empty());
}

TEST_F(TransportBarTest, PressMovesTheFocusButtonButNotTheKeyboardFocus) {
    QWidget window;
    auto* edit = new QLineEdit(&window);
    edit->setGeometry(0, 40, 100, 20);
    player->setParent(&window);
    player->SetVisibleButtons(PlayerButtons);
    player->SetAutoEnable(false);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    edit->setFocus();
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, Button(3));
    EXPECT_EQ(player->FocusButton(), btBack);
    EXPECT_TRUE(edit->hasFocus());
    player->setParent(nullptr);
}

// ---- keyboard ------------------------------------------------------------------------------------

TEST_F(TransportBarTest, ArrowsMoveAmongVisibleButtonsAndStopAtTheEnds) {
    PlayerBar();
    Key(Qt::Key_Left);
    EXPECT_EQ(player->FocusButton(), btPlay);
    Key(Qt::Key_Right);
    EXPECT_EQ(player->FocusButton(), btPause);
    Key(Qt::Key_Right);
    EXPECT_EQ(player->FocusButton(), btStep);  // Stop, Next and Prev are hidden
    Key(Qt::Key_Right);
    Key(Qt::Key_Right, true);
    EXPECT_EQ(player->FocusButton(), btBack);
    Key(Qt::Key_Left);
    EXPECT_EQ(player->FocusButton(), btStep);
}

TEST_F(TransportBarTest, SpaceClicksTheFocusedButtonAgainOnAutoRepeat) {
    PlayerBar();
    OpenDevice();
    Key(Qt::Key_Right);
    Key(Qt::Key_Right);  // btStep
    Key(Qt::Key_Space);
    Key(Qt::Key_Space, true);
    Key(Qt::Key_Space, true);
    EXPECT_EQ(clicks, (std::vector<TMPBtnType>{btStep, btStep, btStep}));
    EXPECT_EQ(mci.count(MCI_STEP), 3);
    EXPECT_FALSE(player->ShownPressed());
}

TEST_F(TransportBarTest, SpaceOnAnUnavailableFocusButtonDoesNothing) {
    PlayerBar();
    Key(Qt::Key_Right);  // btPause, not enabled
    Key(Qt::Key_Space);
    EXPECT_TRUE(clicks.empty());
}

TEST_F(TransportBarTest, ArrowsAndSpaceReachTheBarBeforeAnyShortcut) {
    PlayerBar();
    QKeyEvent override(QEvent::ShortcutOverride, Qt::Key_Right, Qt::NoModifier);
    QCoreApplication::sendEvent(player.get(), &override);
    EXPECT_TRUE(override.isAccepted());
    QKeyEvent other(QEvent::ShortcutOverride, Qt::Key_A, Qt::NoModifier);
    other.ignore();
    QCoreApplication::sendEvent(player.get(), &other);
    EXPECT_FALSE(other.isAccepted());
}

TEST_F(TransportBarTest, FocusButtonMayNameAHiddenKindThatSpaceStillClicks) {
    OpenDevice();
    player->SetVisibleButtons({btStep, btBack});
    player->SetAutoEnable(false);
    Show();
    EXPECT_EQ(player->FocusButton(), btPlay);
    Key(Qt::Key_Space);
    EXPECT_EQ(clicks, std::vector<TMPBtnType>{btPlay});
    EXPECT_EQ(mci.count(MCI_PLAY), 1);
    Key(Qt::Key_Right);
    EXPECT_EQ(player->FocusButton(), btStep);
}

// ---- click sequence ------------------------------------------------------------------------------

TEST_F(TransportBarTest, DoDefaultFalseSkipsTheOperationAndPostClickButNotTheUpdate) {
    OpenDevice();
    Show();
    player->OnClick = [this](TObject*, TMPBtnType button, bool& doDefault) {
        clicks.push_back(button);
        doDefault = false;
    };
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, Button(0));
    EXPECT_EQ(clicks, std::vector<TMPBtnType>{btPlay});
    EXPECT_EQ(mci.count(MCI_PLAY), 0);
    EXPECT_TRUE(postClicks.empty());
    EXPECT_TRUE(player->AutoButtons().Contains(btPause));  // the update for btPlay ran
    EXPECT_FALSE(player->AutoButtons().Contains(btPlay));
}

TEST_F(TransportBarTest, AutoEnableFollowsPlayPauseAndTheEndOfPlayback) {
    mci.device.canRecord = true;
    OpenDevice();
    Show();
    const TButtonSet opened{btPlay, btNext, btPrev, btStep, btBack, btRecord};
    EXPECT_EQ(player->AutoButtons(), opened);
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, Button(0));  // Play
    EXPECT_EQ(player->AutoButtons(), (TButtonSet{btPause, btStop, btNext, btPrev, btStep, btBack}));
    EXPECT_FALSE(player->IsAvailable(btPlay));
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, Button(1));  // Pause
    EXPECT_EQ(mci.count(MCI_PAUSE), 1);
    EXPECT_EQ(player->AutoButtons(), (opened + TButtonSet{btPause, btStop}));
    mci.device.mode = MCI_MODE_STOP;
    mci.postNotify(MCI_NOTIFY_SUCCESSFUL, player.get());
    Deliver();
    EXPECT_EQ(player->AutoButtons(), opened);
}

TEST_F(TransportBarTest, RefusedOperationStillPostClicksButSkipsTheUpdate) {
    OpenDevice();
    Show();
    mci.refuse[MCI_PLAY] = MCIERR_HARDWARE;
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, Button(0));
    EXPECT_EQ(postClicks, std::vector<TMPBtnType>{btPlay});
    EXPECT_TRUE(player->AutoButtons().Contains(btPlay));
    EXPECT_FALSE(player->AutoButtons().Contains(btPause));
}

TEST_F(TransportBarTest, ClickWithoutADeviceShowsTheErrorAndEndsTracking) {
    PlayerBar();
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, Button(0));
    EXPECT_FALSE(player->Tracking());
    EXPECT_FALSE(player->ShownPressed());
    EXPECT_TRUE(postClicks.empty());
    ASSERT_EQ(ErrorBoxes().size(), 1u);
    EXPECT_TRUE(ErrorBoxes()[0].startsWith("MCI デバイスがありません"));
}

TEST_F(TransportBarTest, ExceptionFromOnClickEndsTrackingToo) {
    PlayerBar();
    OpenDevice();
    player->OnClick = [](TObject*, TMPBtnType, bool&) { throw EInvalidOperation("boom"); };
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, Button(0));
    EXPECT_FALSE(player->Tracking());
    EXPECT_EQ(ErrorBoxes().size(), 1u);
    EXPECT_EQ(mci.count(MCI_PLAY), 0);
}

TEST_F(TransportBarTest, NextOnACompactDiscWhilePlayingPostClicksPlay) {
    player->SetDeviceType(dtCDAudio);
    mci.device.deviceType = MCI_DEVTYPE_CD_AUDIO;
    mci.device.hasVideo = false;
    mci.device.tracks = 3;
    mci.device.trackStarts = {{1, MCI_MAKE_TMSF(1, 0, 0, 0)}, {2, MCI_MAKE_TMSF(2, 3, 0, 0)}, {3, MCI_MAKE_TMSF(3, 7, 0, 0)}};
    OpenDevice();
    mci.device.position = MCI_MAKE_TMSF(1, 1, 5, 0);
    mci.device.mode = MCI_MODE_PLAY;
    player->SetVisibleButtons({btPlay, btPause, btStop, btNext});
    Show();
    QTest::mouseClick(player.get(), Qt::LeftButton, {}, Button(3));
    EXPECT_EQ(clicks, std::vector<TMPBtnType>{btNext});
    EXPECT_EQ(postClicks, std::vector<TMPBtnType>{btPlay});
    EXPECT_EQ(player->AutoButtons(), (TButtonSet{btPause, btStop, btNext, btPrev}));
}

TEST_F(TransportBarTest, EnabledButtonsTakeEffectOnlyWithoutAutoEnable) {
    player->SetEnabledButtons({btBack});
    EXPECT_FALSE(player->IsAvailable(btBack));  // AutoEnable, no device: nothing
    player->SetAutoEnable(false);
    EXPECT_TRUE(player->IsAvailable(btBack));
    EXPECT_FALSE(player->IsAvailable(btPlay));
}
