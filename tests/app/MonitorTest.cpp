// The playback monitor, the transport overrides, the click on the window and repainting.
#include "PlayerWindowFixture.h"

#include <QPaintEvent>

namespace {

constexpr TButtonSet Playing{btPause};
constexpr TButtonSet Stopped{btPlay, btStep, btBack};

DWORD modeCode(TMPModes mode) { return MCI_MODE_NOT_READY + mode; }

int positionReads(const ScriptedMci& mci) {
    int n = 0;
    for (const MciCall& call : mci.calls)
        n += call.command == MCI_STATUS && call.item == MCI_STATUS_POSITION && !call.has(MCI_STATUS_START);
    return n;
}

// Counts the paints a widget receives.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

}  // namespace

// ---- the mode tables --------------------------------------------------------------------------

struct ModeRow {
    bool repeat;
    TMPModes before;
    TMPModes now;
    TMPModes after;
    TButtonSet buttons;
    bool restarts;  // sought to frame 0 and played
};

TEST_F(PlayerWindow, MonitorFollowsBothModeTablesRowByRow) {
    const ModeRow rows[] = {
        // repeat on
        {true, dmStopped, dmStopped, dmStopped, {}, false},
        {true, dmPaused, dmStopped, dmPaused, Stopped, false},
        {true, dmPlaying, dmStopped, dmPlaying, Playing, true},
        {true, dmSeeking, dmStopped, dmPlaying, Playing, true},
        {true, dmPaused, dmPlaying, dmPlaying, Playing, false},
        {true, dmPlaying, dmPaused, dmPaused, Stopped, false},
        {true, dmPlaying, dmNotReady, dmNotReady, {}, false},
        {true, dmPlaying, dmRecording, dmRecording, {}, false},
        {true, dmPlaying, dmSeeking, dmSeeking, {}, false},
        {true, dmPlaying, dmOpen, dmOpen, {}, false},
        // repeat off
        {false, dmPlaying, dmPlaying, dmPlaying, {}, false},
        {false, dmPlaying, dmStopped, dmStopped, Stopped, false},
        {false, dmPaused, dmStopped, dmStopped, Stopped, false},
        {false, dmStopped, dmPlaying, dmPlaying, Playing, false},
        {false, dmStopped, dmPaused, dmPaused, Stopped, false},
        {false, dmPlaying, dmSeeking, dmSeeking, {}, false},
        {false, dmPlaying, dmNotReady, dmNotReady, {}, false},
    };
    TTavolenForm& f = playing();
    for (const ModeRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "repeat " << row.repeat << ", before " << int(row.before)
                                        << ", now " << int(row.now));
        f.isRepeat->setChecked(row.repeat);
        const TButtonSet marker{btEject};  // what no row assigns
        f.MediaPlayer1->SetEnabledButtons(marker);
        LastMode = row.before;
        mci.device.mode = modeCode(row.now);
        mci.device.position = 40;
        LastFrame = f.Bar->position();
        mci.clear();

        f.Timer1Timer(f.Timer1);

        EXPECT_EQ(LastMode, row.after);
        const bool tickEnded = row.now == row.before;
        EXPECT_EQ(f.MediaPlayer1->EnabledButtons(), tickEnded ? marker : row.buttons);
        // Play reads the position once more for its rewind check.
        EXPECT_EQ(positionReads(mci), tickEnded ? 1 : row.restarts ? 3 : 2);
        EXPECT_EQ(mci.count(MCI_PLAY), row.restarts ? 1 : 0);
        EXPECT_EQ(mci.count(MCI_SEEK), row.restarts ? 1 : 0);
        if (row.restarts) {
            EXPECT_EQ(mci.last(MCI_SEEK)->to, 0u);
            EXPECT_EQ(f.Bar->position(), 0);
            EXPECT_EQ(LastFrame, 0);
        }
    }
}

TEST_F(PlayerWindow, PauseReportedAsStoppedStaysAPauseOnEveryTick) {
    TTavolenForm& f = playing();
    mci.device.mode = MCI_MODE_PLAY;
    f.FormClick(f.client());
    EXPECT_EQ(LastMode, dmPaused);
    EXPECT_EQ(f.MediaPlayer1->EnabledButtons(), Stopped);
    mci.device.mode = MCI_MODE_STOP;
    for (int tick = 0; tick < 3; ++tick) {
        mci.clear();
        f.Timer1Timer(f.Timer1);
        EXPECT_EQ(mci.count(MCI_PLAY), 0);
        EXPECT_EQ(mci.count(MCI_SEEK), 0);
        EXPECT_EQ(positionReads(mci), 2);  // steps 6 and 7 run again each time
        EXPECT_EQ(LastMode, dmPaused);
    }
}

// With repeat on, a play that stops because the file went bad is restarted like any end; a
// device that refuses the restart stays stopped, and the transport shows it instead of the
// playing state, with no new restart on the ticks after.
TEST_F(PlayerWindow, ARestartTheDeviceRefusesLeavesTheTransportStopped) {
    TTavolenForm& f = playing();
    f.isRepeat->setChecked(true);
    mci.refuse[MCI_SEEK] = MCIERR_FILE_READ;
    mci.refuse[MCI_PLAY] = MCIERR_FILE_READ;
    LastMode = dmPlaying;
    mci.device.mode = MCI_MODE_STOP;
    for (int tick = 0; tick < 3; ++tick) {
        f.Timer1Timer(f.Timer1);
        EXPECT_EQ(LastMode, dmStopped);
        EXPECT_EQ(f.MediaPlayer1->EnabledButtons(), Stopped);
    }
    EXPECT_EQ(mci.count(MCI_PLAY), 1);
    EXPECT_EQ(mci.count(MCI_SEEK), 1);
}

TEST_F(PlayerWindow, EnabledButtonsAreAssignedOnlyWhenTheSetChanges) {
    TTavolenForm& f = playing();
    PaintCounter counter;
    f.MediaPlayer1->installEventFilter(&counter);
    QTest::qWait(50);
    f.MediaPlayer1->SetEnabledButtons(Stopped);
    ASSERT_TRUE(QTest::qWaitFor([&] { return counter.paints > 0; }, 5000));
    QTest::qWait(100);

    counter.paints = 0;
    LastMode = dmPlaying;
    mci.device.mode = MCI_MODE_PAUSE;  // wants [Play, Step, Back], which it already has
    f.Timer1Timer(f.Timer1);
    QTest::qWait(100);
    EXPECT_EQ(counter.paints, 0);

    mci.device.mode = MCI_MODE_PLAY;  // wants [Pause]
    f.Timer1Timer(f.Timer1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return counter.paints > 0; }, 5000));
    f.MediaPlayer1->removeEventFilter(&counter);
}

// ---- slider and counter -------------------------------------------------------------------

TEST_F(PlayerWindow, MovingTheSliderSeeksAndResumesOnlyWhilePlaying) {
    TTavolenForm& f = playing();
    for (const TMPModes mode : {dmPlaying, dmPaused}) {
        SCOPED_TRACE(int(mode));
        LastMode = mode;
        mci.device.mode = modeCode(mode);
        mci.device.position = 10;
        LastFrame = f.Bar->position();
        f.Bar->setPosition(f.Bar->position() == 55 ? 56 : 55);
        const int target = f.Bar->position();
        mci.clear();

        f.Timer1Timer(f.Timer1);

        ASSERT_GE(mci.calls.size(), 3u);
        const MciCall* seek = mci.last(MCI_SEEK);
        ASSERT_NE(seek, nullptr);
        EXPECT_EQ(seek->to, DWORD(target));
        EXPECT_EQ(mci.count(MCI_PAUSE), 1);
        EXPECT_EQ(mci.count(MCI_PLAY), mode == dmPlaying ? 1 : 0);
        EXPECT_EQ(LastFrame, target);
        // The counter shows the position read before the seek.
        EXPECT_EQ(f.Counter->text(), "100 / 10Fr.( 0:00:00:10 )");
    }
}

TEST_F(PlayerWindow, SliderFollowsPlaybackAndTheCounterReads) {
    TTavolenForm& f = playing();
    LastMode = dmPlaying;
    mci.device.mode = MCI_MODE_PLAY;
    mci.device.length = 900;
    f.Bar->setMaximum(900);
    mci.device.position = 345;
    f.Timer1Timer(f.Timer1);
    EXPECT_EQ(f.Counter->text(), "900 / 345Fr.( 0:00:11:15 )");
    EXPECT_EQ(f.Bar->position(), 345);
    EXPECT_EQ(LastFrame, 345);
    EXPECT_EQ(mci.count(MCI_SEEK), 0);

    mci.device.length = 300;
    mci.device.position = 0;
    f.Timer1Timer(f.Timer1);
    EXPECT_EQ(f.Counter->text(), "300 / 0Fr.( 0:00:00:00 )");
    EXPECT_EQ(f.Bar->position(), 0);
}

// ---- transport overrides and the click on the window ---------------------------------------

TEST_F(PlayerWindow, StepAndBackWrapAtTheEndsWithRepeat) {
    TTavolenForm& f = playing();
    struct Case { TMPBtnType button; LONG at; bool seeks; DWORD to; bool reverse; };
    const Case cases[] = {
        {btStep, 99, true, 0, false},   {btStep, 50, false, 0, false},
        {btBack, 0, true, 99, false},   {btBack, 50, false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.button) << " at " << c.at);
        mci.device.position = c.at;
        mci.clear();
        bool doDefault = true;
        f.MediaPlayer1Click(f.MediaPlayer1, c.button, doDefault);
        EXPECT_FALSE(doDefault);
        EXPECT_EQ(mci.count(MCI_SEEK), c.seeks ? 1 : 0);
        EXPECT_EQ(mci.count(MCI_STEP), c.seeks ? 0 : 1);
        if (c.seeks) {
            EXPECT_EQ(mci.last(MCI_SEEK)->to, c.to);
        } else {
            EXPECT_EQ(mci.last(MCI_STEP)->has(MCI_DGV_STEP_REVERSE), c.reverse);
        }
    }
    for (const TMPBtnType button : {btPlay, btPause}) {
        bool doDefault = true;
        f.MediaPlayer1Click(f.MediaPlayer1, button, doDefault);
        EXPECT_TRUE(doDefault);
    }
}

TEST_F(PlayerWindow, WithoutRepeatTheButtonsKeepTheirDefaultActions) {
    TTavolenForm& f = playing();
    f.isRepeat->setChecked(false);
    for (const TMPBtnType button : {btStep, btBack, btPlay, btPause}) {
        mci.device.position = button == btStep ? 99 : 0;
        mci.clear();
        bool doDefault = true;
        f.MediaPlayer1Click(f.MediaPlayer1, button, doDefault);
        EXPECT_TRUE(doDefault);
        EXPECT_EQ(mci.calls.size(), 1u);  // the position read only
    }
}

TEST_F(PlayerWindow, ClickOnThePictureOrBareWindowPauses) {
    TTavolenForm& f = playing();
    mci.device.mode = MCI_MODE_PLAY;
    LastMode = dmPlaying;
    for (const QPoint at : {QPoint(100, 100), QPoint(180, 45)}) {
        mci.clear();
        QTest::mouseClick(f.client(), Qt::LeftButton, {}, at);
        EXPECT_EQ(mci.count(MCI_PAUSE), 1);
        EXPECT_EQ(LastMode, dmPaused);
        EXPECT_EQ(f.MediaPlayer1->EnabledButtons(), Stopped);
    }
    mci.clear();
    QTest::mouseClick(f.isRepeat, Qt::LeftButton);  // a control takes its own click
    EXPECT_EQ(mci.count(MCI_PAUSE), 0);
}

// ---- repainting ------------------------------------------------------------------------------

TEST_F(PlayerWindow, RepaintRedrawsThePictureAndSeeksOnlyWhenNotPlaying) {
    TTavolenForm& f = playing();
    mci.device.position = 33;
    mci.device.mode = MCI_MODE_PAUSE;
    f.UpdateDisplay();
    const MciCall* update = mci.last(MCI_UPDATE);
    ASSERT_NE(update, nullptr);
    EXPECT_EQ(update->flags, MCI_DGV_UPDATE_HDC);
    EXPECT_EQ(update->hdc, f.client());
    EXPECT_EQ(update->callback, mciCallbackOf(f.client()));
    ASSERT_NE(mci.last(MCI_SEEK), nullptr);
    EXPECT_EQ(mci.last(MCI_SEEK)->to, 33u);

    mci.clear();
    mci.device.mode = MCI_MODE_PLAY;
    f.UpdateDisplay();
    EXPECT_EQ(mci.count(MCI_UPDATE), 1);
    EXPECT_EQ(mci.count(MCI_SEEK), 0);
    EXPECT_EQ(mci.count(MCI_PAUSE) + mci.count(MCI_STOP) + mci.count(MCI_PLAY), 0);
}

TEST_F(PlayerWindow, OnlyPaintsThatTouchThePictureRunTheRepaintHandler) {
    TTavolenForm& f = playing();
    EXPECT_EQ(f.PictureArea(), QRect(42, 74, 320, 240));
    mci.clear();
    f.client()->repaint(f.Counter->geometry());
    f.client()->repaint(QRect(0, 0, 30, 30));
    EXPECT_EQ(mci.count(MCI_UPDATE), 0);
    f.client()->repaint(QRect(300, 300, 20, 20));
    EXPECT_EQ(mci.count(MCI_UPDATE), 1);
}

// A file opened from the menu while playing with repeat on waits for the start timer like the
// first one: the monitor must not read its stopped device as the end of a playback.
TEST_F(PlayerWindow, FileOpenWhilePlayingWithRepeatWaitsForTheStartTimer) {
    TTavolenForm& f = playing();
    ASSERT_TRUE(f.isRepeat->isChecked());
    f.Timer1Timer(f.Timer1);
    ASSERT_EQ(LastMode, dmPlaying);

    mci.device.mode = MCI_MODE_STOP;  // the new device
    openFromMenu(file("next.avi"));
    mci.clear();
    f.Timer1Timer(f.Timer1);
    f.Timer1Timer(f.Timer1);

    EXPECT_EQ(mci.count(MCI_PLAY), 0);
    EXPECT_EQ(LastMode, dmStopped);
    f.Timer2Timer(f.Timer2);
    EXPECT_EQ(mci.count(MCI_PLAY), 1);
}
