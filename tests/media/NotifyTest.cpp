// Completion messages posted to the component's own window.
#include "MediaTest.h"

#include "Exception.h"

#include <QCoreApplication>
#include <QKeyEvent>

namespace {

class NotifyTest : public MediaTest {
protected:
    int notified = 0;
    void SetUp() override {
        player->OnNotify = [this](TObject* sender) {
            EXPECT_EQ(sender, player.get());
            ++notified;
        };
    }
    void Notify(WPARAM code) {
        mci.postNotify(code, player.get());
        Deliver();
    }
};

}  // namespace

TEST_F(NotifyTest, CodesSetLastNotifyAndAnUnknownCodeLeavesIt) {
    OpenDevice();
    const std::pair<WPARAM, TMPNotifyValues> codes[] = {{MCI_NOTIFY_SUPERSEDED, nfSuperseded},
                                                        {MCI_NOTIFY_ABORTED, nfAborted},
                                                        {MCI_NOTIFY_FAILURE, nfFailure},
                                                        {MCI_NOTIFY_SUCCESSFUL, nfSuccessful},
                                                        {MCI_NOTIFY_ABORTED, nfAborted}};
    for (auto [code, value] : codes) {
        Notify(code);
        EXPECT_EQ(player->LastNotify(), value) << code;
    }
    Notify(0x10);
    EXPECT_EQ(player->LastNotify(), nfAborted);
    EXPECT_EQ(notified, 6);
}

TEST_F(NotifyTest, PlayAsksForTheMessageAtTheComponentItself) {
    OpenDevice();
    player->Play();
    mci.device.mode = MCI_MODE_STOP;
    mci.postNotify(MCI_NOTIFY_FAILURE);  // to the callback window that Play named
    Deliver();
    EXPECT_EQ(player->LastNotify(), nfFailure);
    EXPECT_EQ(notified, 1);
}

TEST_F(NotifyTest, MessageWhilePlayingChangesNoButtons) {
    mci.device.canRecord = true;
    OpenDevice();
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
    QCoreApplication::sendEvent(player.get(), &space);  // clicks Play
    const TButtonSet playing{btPause, btStop, btNext, btPrev, btStep, btBack};
    EXPECT_EQ(player->AutoButtons(), playing);
    Notify(MCI_NOTIFY_SUPERSEDED);
    EXPECT_EQ(player->AutoButtons(), playing);
    mci.device.mode = MCI_MODE_STOP;
    Notify(MCI_NOTIFY_SUCCESSFUL);
    EXPECT_EQ(player->AutoButtons(), (TButtonSet{btPlay, btRecord, btNext, btPrev, btStep, btBack}));
}

TEST_F(NotifyTest, EndOfPlaybackRemovesPauseAndStop) {
    OpenDevice();
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
    QCoreApplication::sendEvent(player.get(), &space);  // clicks Play
    EXPECT_TRUE(player->AutoButtons().Contains(btPause));
    mci.device.mode = MCI_MODE_STOP;
    Notify(MCI_NOTIFY_SUCCESSFUL);
    EXPECT_EQ(player->AutoButtons(), (TButtonSet{btPlay, btNext, btPrev, btStep, btBack}));
    EXPECT_TRUE(player->IsAvailable(btPlay));
    EXPECT_FALSE(player->IsAvailable(btStop));
}

TEST_F(NotifyTest, WithoutAutoEnableTheButtonsAreLeftAlone) {
    OpenDevice();
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
    QCoreApplication::sendEvent(player.get(), &space);
    player->SetAutoEnable(false);
    mci.clear();
    mci.device.mode = MCI_MODE_STOP;
    Notify(MCI_NOTIFY_SUCCESSFUL);
    EXPECT_TRUE(player->AutoButtons().Contains(btPause));
    EXPECT_EQ(Sent(), "");  // not even the mode is read
    EXPECT_EQ(notified, 1);
}

TEST_F(NotifyTest, ErrorInTheHandlerBecomesTheErrorBox) {
    OpenDevice();
    player->OnNotify = [](TObject*) { throw EInvalidOperation("handler failed"); };
    Notify(MCI_NOTIFY_SUCCESSFUL);
    ASSERT_EQ(ErrorBoxes().size(), 1u);
    EXPECT_TRUE(ErrorBoxes()[0].startsWith("handler failed"));
}
