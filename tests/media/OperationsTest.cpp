// The operations and status reads: the open check, rewinding, stepping, resuming, ejecting and
// the track moves of a compact disc.
#include "MediaTest.h"

#include <functional>
#include <utility>

namespace {

class OperationsTest : public MediaTest {
protected:
    // A compact disc of three tracks, opened, in the track time format.
    void OpenDisc(DWORD position, DWORD mode) {
        player->SetDeviceType(dtCDAudio);
        mci.device.deviceType = MCI_DEVTYPE_CD_AUDIO;
        mci.device.hasVideo = false;
        mci.device.tracks = 3;
        mci.device.trackStarts = {{1, Track(1)}, {2, Track(2)}, {3, Track(3)}};
        mci.device.length = LONG(MCI_MAKE_TMSF(3, 59, 0, 0));
        OpenDevice();
        mci.device.position = LONG(position);
        mci.device.mode = mode;
    }
    static LONG Track(int track) { return LONG(MCI_MAKE_TMSF(std::uint8_t(track), std::uint8_t(10 * track), 20, 0)); }
    const MciCall& Last(UINT command) {
        static const MciCall none;
        const MciCall* call = mci.last(command);
        EXPECT_NE(call, nullptr) << mciCommandName(command);
        return call ? *call : none;
    }
};

}  // namespace

TEST_F(OperationsTest, EveryOperationThatNeedsADeviceRaisesAndSendsNothing) {
    const std::pair<const char*, std::function<void()>> operations[] = {
        {"Play", [&] { player->Play(); }},           {"Record", [&] { player->Record(); }},
        {"Stop", [&] { player->Stop(); }},           {"Pause", [&] { player->Pause(); }},
        {"Resume", [&] { player->Resume(); }},       {"TogglePause", [&] { player->TogglePause(); }},
        {"Next", [&] { player->Next(); }},           {"Previous", [&] { player->Previous(); }},
        {"Step", [&] { player->Step(); }},           {"Back", [&] { player->Back(); }},
        {"Eject", [&] { player->Eject(); }},         {"SeekToStart", [&] { player->SeekToStart(); }},
        {"Position :=", [&] { player->SetPosition(3); }}, {"Length", [&] { player->Length(); }},
        {"Start", [&] { player->Start(); }},         {"TimeFormat", [&] { player->TimeFormat(); }},
        {"TrackCount", [&] { player->TrackCount(); }},
    };
    for (const auto& [name, operation] : operations) {
        EXPECT_EQ(DeviceError(operation), "MCI デバイスがありません") << name;
        EXPECT_EQ(Sent(), "") << name;
    }
}

TEST_F(OperationsTest, ReadsThatDoNotCheckAreSentToDeviceZero) {
    EXPECT_NO_THROW(player->Position());
    EXPECT_NO_THROW(player->Mode());
    EXPECT_NO_THROW(player->TrackStart(1));
    EXPECT_NO_THROW(player->SetTimeFormat(MCI_FORMAT_FRAMES));
    EXPECT_EQ(Sent(), "MCI_STATUS MCI_STATUS MCI_STATUS MCI_SET");
    for (const MciCall& call : mci.calls) EXPECT_EQ(call.device, 0u);
    EXPECT_EQ(player->LastError(), MCIERR_INVALID_DEVICE_ID);
}

TEST_F(OperationsTest, StatusReadsAndTheirFlags) {
    mci.device.length = 250;
    mci.device.start = 2;
    OpenDevice();
    mci.device.position = 17;
    EXPECT_EQ(player->Position(), 17);
    EXPECT_EQ(player->Length(), 250);
    EXPECT_EQ(player->Start(), 2);
    EXPECT_EQ(player->TimeFormat(), MCI_FORMAT_FRAMES);
    ASSERT_EQ(mci.calls.size(), 4u);
    for (const MciCall& call : mci.calls) EXPECT_EQ(call.device, 1u);
    EXPECT_EQ(mci.calls[0].flags, MCI_WAIT | MCI_STATUS_ITEM);
    EXPECT_EQ(mci.calls[2].flags, MCI_WAIT | MCI_STATUS_ITEM | MCI_STATUS_START);
    EXPECT_EQ(mci.calls[2].item, MCI_STATUS_POSITION);
    EXPECT_EQ(mci.calls[3].item, MCI_STATUS_TIME_FORMAT);
}

TEST_F(OperationsTest, ModeIsTheServiceModeLess524) {
    OpenDevice();
    const std::pair<DWORD, TMPModes> modes[] = {{MCI_MODE_NOT_READY, dmNotReady}, {MCI_MODE_STOP, dmStopped},
                                                {MCI_MODE_PLAY, dmPlaying},       {MCI_MODE_RECORD, dmRecording},
                                                {MCI_MODE_SEEK, dmSeeking},       {MCI_MODE_PAUSE, dmPaused},
                                                {MCI_MODE_OPEN, dmOpen}};
    for (auto [service, mode] : modes) {
        mci.device.mode = service;
        EXPECT_EQ(player->Mode(), mode) << service;
    }
}

TEST_F(OperationsTest, PlayAtTheEndRewindsOnlyWithAutoRewind) {
    OpenDevice();
    mci.device.position = mci.device.length;
    player->Play();
    EXPECT_EQ(Sent(), "MCI_STATUS MCI_STATUS MCI_SEEK MCI_PLAY");
    EXPECT_EQ(mci.calls[2].flags, MCI_WAIT | MCI_SEEK_TO_START);
    EXPECT_EQ(Last(MCI_PLAY).flags, MCI_NOTIFY);
    EXPECT_EQ(Last(MCI_PLAY).callback, OwnWindow());
    EXPECT_EQ(mci.device.position, 0);

    mci.clear();
    mci.device.mode = MCI_MODE_STOP;
    mci.device.position = mci.device.length;
    player->SetAutoRewind(false);
    player->Play();
    EXPECT_EQ(Sent(), "MCI_PLAY");
    EXPECT_EQ(mci.device.position, mci.device.length);
}

TEST_F(OperationsTest, PlayInTheMiddleDoesNotRewind) {
    OpenDevice();
    mci.device.position = 40;
    player->Play();
    EXPECT_EQ(Sent(), "MCI_STATUS MCI_STATUS MCI_PLAY");
}

TEST_F(OperationsTest, StopPauseRecordAndPositionSendTheirRecords) {
    OpenDevice();
    player->Stop();
    player->Pause();
    player->SetPosition(33);
    player->Record();
    EXPECT_EQ(Sent(), "MCI_STOP MCI_PAUSE MCI_SEEK MCI_RECORD");
    EXPECT_EQ(mci.calls[0].flags, MCI_WAIT);
    EXPECT_EQ(mci.calls[1].flags, MCI_WAIT);
    EXPECT_EQ(mci.calls[2].flags, MCI_WAIT | MCI_TO);
    EXPECT_EQ(mci.calls[2].to, 33u);
    EXPECT_EQ(mci.calls[3].flags, MCI_NOTIFY);
    for (const MciCall& call : mci.calls) EXPECT_EQ(call.callback, OwnWindow());
    EXPECT_EQ(player->LastError(), MCIERR_UNSUPPORTED_FUNCTION);  // the scripted device cannot record
}

TEST_F(OperationsTest, StepAtTheEndRewindsThenStepsByStepFrames) {
    OpenDevice();
    player->SetStepFrames(1);
    mci.device.position = mci.device.length;
    player->Step();
    EXPECT_EQ(Sent(), "MCI_STATUS MCI_STATUS MCI_SEEK MCI_STEP");
    EXPECT_EQ(Last(MCI_STEP).flags, MCI_WAIT | MCI_DGV_STEP_FRAMES);
    EXPECT_EQ(Last(MCI_STEP).frames, 1u);
    EXPECT_EQ(mci.device.position, 1);
}

TEST_F(OperationsTest, BackNeverRewindsAndRecordsTheRefusalAtTheStart) {
    OpenDevice();
    player->SetStepFrames(3);
    player->Back();
    EXPECT_EQ(Sent(), "MCI_STEP");
    EXPECT_EQ(Last(MCI_STEP).flags, MCI_WAIT | MCI_DGV_STEP_FRAMES | MCI_DGV_STEP_REVERSE);
    EXPECT_EQ(Last(MCI_STEP).frames, 3u);
    EXPECT_EQ(player->LastError(), MCIERR_OUTOFRANGE);
}

TEST_F(OperationsTest, StepAndBackWithoutAPictureSendNothing) {
    mci.device.hasVideo = false;
    OpenDevice();
    player->SetPosition(1000);  // refused: leaves a code to keep
    mci.clear();
    player->Step();
    player->Back();
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(player->LastError(), MCIERR_OUTOFRANGE);
}

TEST_F(OperationsTest, ResumeFallsBackToPlay) {
    OpenDevice();
    mci.device.mode = MCI_MODE_PAUSE;
    player->Resume();
    EXPECT_EQ(Sent(), "MCI_RESUME");
    EXPECT_EQ(Last(MCI_RESUME).flags, MCI_NOTIFY);
    EXPECT_EQ(Last(MCI_RESUME).callback, OwnWindow());

    mci.clear();
    mci.refuse[MCI_RESUME] = MCIERR_UNSUPPORTED_FUNCTION;
    player->Resume();
    EXPECT_EQ(Sent(), "MCI_RESUME MCI_STATUS MCI_STATUS MCI_PLAY");
    EXPECT_EQ(player->LastError(), 0u);  // Play's result stands
}

TEST_F(OperationsTest, TogglePauseInEachMode) {
    OpenDevice();
    mci.device.mode = MCI_MODE_PLAY;
    player->TogglePause();
    EXPECT_EQ(Sent(), "MCI_STATUS MCI_PAUSE");

    mci.clear();
    player->TogglePause();  // now paused
    EXPECT_EQ(Sent(), "MCI_STATUS MCI_STATUS MCI_RESUME");

    mci.clear();
    mci.device.mode = MCI_MODE_STOP;
    player->TogglePause();
    EXPECT_EQ(Sent(), "MCI_STATUS MCI_STATUS");
}

TEST_F(OperationsTest, EjectOnlyWhenTheDeviceCan) {
    OpenDevice();
    player->Eject();
    EXPECT_EQ(Sent(), "");
    mci.device.canEject = true;
    player->Open();
    mci.clear();
    player->Eject();
    EXPECT_EQ(Sent(), "MCI_SET");
    EXPECT_EQ(Last(MCI_SET).flags, MCI_WAIT | MCI_SET_DOOR_OPEN);
    EXPECT_EQ(Last(MCI_SET).callback, OwnWindow());
}

TEST_F(OperationsTest, NextAndPreviousInFramesSeekToTheEnds) {
    OpenDevice();
    mci.device.position = 40;
    player->Next();
    EXPECT_EQ(Last(MCI_SEEK).flags, MCI_WAIT | MCI_SEEK_TO_END);
    EXPECT_EQ(mci.device.position, mci.device.length);
    player->Previous();
    EXPECT_EQ(Last(MCI_SEEK).flags, MCI_WAIT | MCI_SEEK_TO_START);
    EXPECT_EQ(mci.device.position, 0);
    EXPECT_EQ(Last(MCI_SEEK).callback, OwnWindow());
}

TEST_F(OperationsTest, PreviousWhilePlayingChoosesTheTrackByTheSecond) {
    struct Case {
        DWORD position;
        LONG expected;
    };
    const Case cases[] = {
        {MCI_MAKE_TMSF(3, 30, 20, 50), Track(2)},  // first second of track 3, frames ignored
        {MCI_MAKE_TMSF(3, 30, 21, 0), Track(3)},   // later in track 3
        {MCI_MAKE_TMSF(1, 10, 20, 5), Track(1)},   // track 1 stays on track 1
    };
    for (const Case& c : cases) {
        OpenDisc(c.position, MCI_MODE_PLAY);
        player->Previous();
        EXPECT_EQ(mci.count(MCI_SEEK), 0);
        EXPECT_EQ(Last(MCI_PLAY).flags, MCI_NOTIFY | MCI_FROM);
        EXPECT_EQ(LONG(Last(MCI_PLAY).from), c.expected) << std::hex << c.position;
    }
}

TEST_F(OperationsTest, PreviousWhileStoppedSeeksToTheTarget) {
    OpenDisc(MCI_MAKE_TMSF(3, 30, 20, 0), MCI_MODE_STOP);
    player->Previous();
    EXPECT_EQ(mci.count(MCI_PLAY), 0);
    EXPECT_EQ(Last(MCI_SEEK).flags, MCI_WAIT | MCI_TO);
    EXPECT_EQ(LONG(Last(MCI_SEEK).to), Track(2));
}

TEST_F(OperationsTest, NextMovesToTheNextTrackAndRestartsTheLast) {
    OpenDisc(MCI_MAKE_TMSF(1, 12, 0, 0), MCI_MODE_STOP);
    player->Next();
    EXPECT_EQ(LONG(Last(MCI_SEEK).to), Track(2));

    OpenDisc(MCI_MAKE_TMSF(3, 40, 0, 0), MCI_MODE_PLAY);
    player->Next();
    EXPECT_EQ(mci.count(MCI_SEEK), 0);
    EXPECT_EQ(Last(MCI_PLAY).flags, MCI_NOTIFY | MCI_FROM);
    EXPECT_EQ(LONG(Last(MCI_PLAY).from), Track(3));
    EXPECT_EQ(player->ActiveButton(), btPlay);
}

TEST_F(OperationsTest, PendingStartIsUsedOnceAndSkipsTheRewind) {
    OpenDisc(MCI_MAKE_TMSF(2, 40, 0, 0), MCI_MODE_PLAY);
    mci.device.length = mci.device.position;  // at the end: a pending start must not rewind
    player->Next();
    EXPECT_EQ(Sent().find("MCI_SEEK"), std::string::npos);
    EXPECT_EQ(LONG(Last(MCI_PLAY).from), Track(3));
    mci.clear();
    mci.device.position = 5;
    player->Play();
    EXPECT_EQ(Last(MCI_PLAY).flags, MCI_NOTIFY);  // no longer pending
}

TEST_F(OperationsTest, LastErrorTextComesFromTheService) {
    OpenDevice();
    mci.refuse[MCI_STOP] = MCIERR_HARDWARE;
    mci.errorTexts[MCIERR_HARDWARE] = "装置のエラー";
    EXPECT_NO_THROW(player->Stop());
    EXPECT_EQ(player->LastErrorText(), QString("装置のエラー"));
    player->Pause();
    EXPECT_EQ(player->LastError(), 0u);
}
