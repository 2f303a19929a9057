// The service's commands on fake media and a manual clock: result codes, modes, positions,
// completion messages and several devices at once.
#include "FakeMedia.h"

#include "Device.h"

#include <gtest/gtest.h>

#include <QTest>

using namespace servicetest;

namespace {

class ServiceCommands : public ::testing::Test {
protected:
    void SetUp() override {
        fake.addFile("clip.avi", video);
        fake.addFile("tone.wav", sound);
    }
    DWORD mode(MCIDEVICEID id) { return fake.status(id, MCI_STATUS_MODE); }
    DWORD position(MCIDEVICEID id) { return fake.status(id, MCI_STATUS_POSITION); }
    int shownFrame(MCIDEVICEID id) {
        auto* surface = fake.service().device(id)->surface();
        return surface ? fakeFrameNumber(surface->image()) : -1;
    }
    // Messages are posted; let them arrive.
    bool waitForMessages(NotifySink& sink, size_t count) {
        return QTest::qWaitFor([&] { return sink.received.size() >= count; }, 10000);
    }

    std::shared_ptr<FakeMedia> video = videoMedia(90);
    std::shared_ptr<FakeMedia> sound = soundMedia(3000000);
    FakeService fake;
    NotifySink sink;
};

TEST_F(ServiceCommands, OpenRefusalsCarryTheirOwnTexts) {
    MCI_OPEN_PARMS byType;
    byType.lpstrDeviceType = "MPEGVideo";
    EXPECT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_TYPE, DWORD_PTR(&byType)),
              MCIERR_FILENAME_REQUIRED);
    EXPECT_EQ(byType.wDeviceID, 0u);
    EXPECT_TRUE(errorText(MCIERR_FILENAME_REQUIRED).contains(QStringLiteral("種類")));

    MCIERROR error = 0;
    EXPECT_EQ(fake.open("", &error), 0u);
    EXPECT_EQ(error, MCIERR_FILENAME_REQUIRED);
    EXPECT_EQ(fake.open("missing.avi", &error), 0u);
    EXPECT_EQ(error, MCIERR_FILE_NOT_FOUND);
    EXPECT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, 0), MCIERR_NULL_PARAMETER_BLOCK);

    for (MCIERROR code : {MCIERR_FILENAME_REQUIRED, MCIERR_NULL_PARAMETER_BLOCK, MCIERR_INVALID_DEVICE_ID,
                          MCIERR_OUTOFRANGE, MCIERR_BAD_TIME_FORMAT, MCIERR_UNSUPPORTED_FUNCTION,
                          MCIERR_NONAPPLICABLE_FUNCTION, MCIERR_MISSING_PARAMETER, MCIERR_FILE_READ,
                          MCIERR_UNRECOGNIZED_COMMAND, MCIERR_FLAGS_NOT_COMPATIBLE}) {
        EXPECT_FALSE(errorText(code).isEmpty()) << code;
    }
    char text[64];
    EXPECT_FALSE(mciGetErrorStringA(MCIERR_BASE + 250, text, sizeof text));
}

TEST_F(ServiceCommands, ErrorTextIsCutBetweenCharacters) {
    char text[8];  // room for two three-byte characters and a NUL, not three
    ASSERT_TRUE(mciGetErrorStringA(MCIERR_OUTOFRANGE, text, sizeof text));
    EXPECT_EQ(QByteArray(text).size(), 6);
    EXPECT_TRUE(QString::fromUtf8(text).isValidUtf16());
    EXPECT_EQ(QString::fromUtf8(text), errorText(MCIERR_OUTOFRANGE).left(2));
}

TEST_F(ServiceCommands, SeveralDevicesEachWithTheirOwnIdentifier) {
    const MCIDEVICEID a = fake.open("clip.avi");
    const MCIDEVICEID b = fake.open("clip.avi");
    const MCIDEVICEID c = fake.open("tone.wav");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    ASSERT_NE(c, 0u);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_LE(std::max({a, b, c}), 0xFFFFu);

    ASSERT_EQ(fake.seek(a, 40), 0u);
    EXPECT_EQ(position(a), 40u);
    EXPECT_EQ(position(b), 0u);
    EXPECT_EQ(fake.command(b, MCI_CLOSE), 0u);
    EXPECT_EQ(fake.command(b, MCI_STOP), MCIERR_INVALID_DEVICE_ID);
    EXPECT_EQ(fake.status(a, MCI_STATUS_LENGTH), 90u);
    EXPECT_EQ(fake.status(c, MCI_STATUS_LENGTH), 90u);  // 3 s at 30 frames a second
    EXPECT_EQ(fake.command(0, MCI_STOP), MCIERR_INVALID_DEVICE_ID);
}

TEST_F(ServiceCommands, StatusOfAFreshDevice) {
    const MCIDEVICEID id = fake.open("clip.avi");
    EXPECT_EQ(fake.status(id, MCI_STATUS_LENGTH), 90u);
    EXPECT_EQ(position(id), 0u);
    EXPECT_EQ(fake.status(id, MCI_STATUS_POSITION, MCI_STATUS_START), 0u);
    EXPECT_EQ(mode(id), MCI_MODE_STOP);
    EXPECT_EQ(fake.status(id, MCI_STATUS_TIME_FORMAT), MCI_FORMAT_FRAMES);
    EXPECT_EQ(fake.status(id, MCI_STATUS_NUMBER_OF_TRACKS), 1u);

    MCI_STATUS_PARMS track;
    track.dwItem = MCI_STATUS_POSITION;
    track.dwTrack = 1;
    EXPECT_EQ(mciSendCommandA(id, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM | MCI_TRACK, DWORD_PTR(&track)), 0u);
    EXPECT_EQ(track.dwReturn, 0u);
    track.dwTrack = 2;
    EXPECT_EQ(mciSendCommandA(id, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM | MCI_TRACK, DWORD_PTR(&track)),
              MCIERR_OUTOFRANGE);
    MCI_STATUS_PARMS noItem;
    EXPECT_EQ(mciSendCommandA(id, MCI_STATUS, MCI_WAIT, DWORD_PTR(&noItem)), MCIERR_MISSING_PARAMETER);
}

TEST_F(ServiceCommands, TimeFormatsFramesAndMillisecondsOnly) {
    const MCIDEVICEID id = fake.open("clip.avi");
    ASSERT_EQ(fake.seek(id, 45), 0u);
    EXPECT_EQ(fake.setTimeFormat(id, MCI_FORMAT_SMPTE_30), MCIERR_BAD_TIME_FORMAT);
    EXPECT_EQ(fake.status(id, MCI_STATUS_TIME_FORMAT), MCI_FORMAT_FRAMES);

    ASSERT_EQ(fake.setTimeFormat(id, MCI_FORMAT_MILLISECONDS), 0u);
    EXPECT_EQ(fake.status(id, MCI_STATUS_LENGTH), 3000u);
    EXPECT_EQ(position(id), 1500u);
    ASSERT_EQ(fake.seek(id, 1010), 0u);  // inside frame 30, which starts at 1000 ms
    EXPECT_EQ(position(id), 1000u);
    EXPECT_EQ(shownFrame(id), 30);
    EXPECT_EQ(fake.seek(id, 3001), MCIERR_OUTOFRANGE);
    ASSERT_EQ(fake.setTimeFormat(id, MCI_FORMAT_FRAMES), 0u);
    EXPECT_EQ(position(id), 30u);

    MCI_SET_PARMS door;
    EXPECT_EQ(mciSendCommandA(id, MCI_SET, MCI_WAIT | MCI_SET_DOOR_OPEN, DWORD_PTR(&door)),
              MCIERR_UNSUPPORTED_FUNCTION);
}

TEST_F(ServiceCommands, CapabilitiesFollowTheFile) {
    auto caps = [](MCIDEVICEID id, DWORD item) {
        MCI_GETDEVCAPS_PARMS parms;
        parms.dwItem = item;
        EXPECT_EQ(mciSendCommandA(id, MCI_GETDEVCAPS, MCI_WAIT | MCI_GETDEVCAPS_ITEM, DWORD_PTR(&parms)), 0u);
        return parms.dwReturn;
    };
    const MCIDEVICEID video = fake.open("clip.avi");
    const MCIDEVICEID tone = fake.open("tone.wav");
    EXPECT_EQ(caps(video, MCI_GETDEVCAPS_CAN_PLAY), 1u);
    EXPECT_EQ(caps(video, MCI_GETDEVCAPS_CAN_RECORD), 0u);
    EXPECT_EQ(caps(video, MCI_GETDEVCAPS_CAN_EJECT), 0u);
    EXPECT_EQ(caps(video, MCI_GETDEVCAPS_HAS_VIDEO), 1u);
    EXPECT_EQ(caps(tone, MCI_GETDEVCAPS_HAS_VIDEO), 0u);
    EXPECT_EQ(caps(video, MCI_GETDEVCAPS_DEVICE_TYPE), MCI_DEVTYPE_DIGITAL_VIDEO);
    EXPECT_EQ(caps(tone, MCI_GETDEVCAPS_DEVICE_TYPE), MCI_DEVTYPE_WAVEFORM_AUDIO);

    MCI_RECORD_PARMS record;
    EXPECT_EQ(mciSendCommandA(video, MCI_RECORD, MCI_NOTIFY, DWORD_PTR(&record)), MCIERR_UNSUPPORTED_FUNCTION);
    EXPECT_EQ(mciSendCommandA(video, 0x0999, 0, 0), MCIERR_UNRECOGNIZED_COMMAND);
}

TEST_F(ServiceCommands, SeekAndStepRefuseOutsideTheMediumAndChangeNothing) {
    const MCIDEVICEID id = fake.open("clip.avi");
    ASSERT_EQ(fake.seek(id, 10), 0u);
    EXPECT_EQ(fake.seek(id, 91), MCIERR_OUTOFRANGE);
    EXPECT_EQ(fake.step(id, -11), MCIERR_OUTOFRANGE);
    EXPECT_EQ(fake.step(id, 81), MCIERR_OUTOFRANGE);
    EXPECT_EQ(position(id), 10u);

    EXPECT_EQ(fake.step(id, 80), 0u);  // onto the end
    EXPECT_EQ(position(id), 90u);
    EXPECT_EQ(fake.step(id, -90), 0u);
    EXPECT_EQ(position(id), 0u);
    EXPECT_EQ(mciSendCommandA(id, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_END, 0), 0u);
    EXPECT_EQ(position(id), 90u);
    EXPECT_EQ(mciSendCommandA(id, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START, 0), 0u);
    EXPECT_EQ(position(id), 0u);
    EXPECT_EQ(mciSendCommandA(id, MCI_SEEK, MCI_WAIT, 0), MCIERR_MISSING_PARAMETER);
    EXPECT_EQ(mciSendCommandA(id, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START | MCI_SEEK_TO_END, 0),
              MCIERR_FLAGS_NOT_COMPATIBLE);
}

TEST_F(ServiceCommands, PlayRunsToTheEndAndNotifiesOnTheUiThread) {
    const MCIDEVICEID id = fake.open("clip.avi");
    ASSERT_EQ(fake.play(id, &sink), 0u);
    EXPECT_EQ(mode(id), MCI_MODE_PLAY);
    ASSERT_TRUE(fake.runClockUntil([&] { return mode(id) == MCI_MODE_STOP; }));
    EXPECT_EQ(position(id), 90u);
    ASSERT_TRUE(waitForMessages(sink, 1));
    QTest::qWait(20);
    ASSERT_EQ(sink.received.size(), 1u);
    EXPECT_EQ(sink.received[0].code, MCI_NOTIFY_SUCCESSFUL);
    EXPECT_EQ(sink.received[0].device, id);
    EXPECT_TRUE(sink.received[0].onUiThread);
    EXPECT_EQ(shownFrame(id), 89);  // the last frame stays on screen
}

TEST_F(ServiceCommands, PlayFromToStopsAtTheEndPointAndPlayAtTheEndEndsAtOnce) {
    const MCIDEVICEID id = fake.open("clip.avi");
    ASSERT_EQ(fake.play(id, &sink, MCI_FROM | MCI_TO, 20, 30), 0u);
    ASSERT_TRUE(fake.runClockUntil([&] { return mode(id) == MCI_MODE_STOP; }));
    EXPECT_EQ(position(id), 30u);
    EXPECT_EQ(fake.play(id, nullptr, MCI_FROM | MCI_TO, 30, 20), MCIERR_OUTOFRANGE);
    EXPECT_EQ(fake.play(id, nullptr, MCI_FROM, 91), MCIERR_OUTOFRANGE);

    ASSERT_EQ(fake.seek(id, 90), 0u);
    ASSERT_EQ(fake.play(id, &sink), 0u);
    ASSERT_TRUE(fake.runClockUntil([&] { return mode(id) == MCI_MODE_STOP; }));
    ASSERT_TRUE(waitForMessages(sink, 2));
    EXPECT_EQ(sink.codes(), (std::vector<WPARAM>{MCI_NOTIFY_SUCCESSFUL, MCI_NOTIFY_SUCCESSFUL}));
}

TEST_F(ServiceCommands, ANewPlaySupersedesOrAbortsTheOwedNotification) {
    const MCIDEVICEID id = fake.open("clip.avi");
    NotifySink second;
    ASSERT_EQ(fake.play(id, &sink), 0u);
    ASSERT_EQ(fake.play(id, &second), 0u);
    ASSERT_TRUE(waitForMessages(sink, 1));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_SUPERSEDED});
    ASSERT_EQ(fake.play(id, nullptr), 0u);  // asks for nothing: the owed one is aborted
    ASSERT_TRUE(waitForMessages(second, 1));
    EXPECT_EQ(second.codes(), std::vector<WPARAM>{MCI_NOTIFY_ABORTED});
    EXPECT_EQ(mode(id), MCI_MODE_PLAY);
}

TEST_F(ServiceCommands, InterruptionsAbortTheOwedNotification) {
    const MCIDEVICEID id = fake.open("clip.avi");
    const std::vector<std::function<MCIERROR()>> interruptions = {
        [&] { return fake.command(id, MCI_PAUSE); },
        [&] { return fake.command(id, MCI_STOP); },
        [&] { return fake.seek(id, 5); },
        [&] { return fake.step(id, 1); },
    };
    for (size_t i = 0; i < interruptions.size(); ++i) {
        NotifySink owed;
        ASSERT_EQ(fake.play(id, &owed), 0u);
        ASSERT_EQ(interruptions[i](), 0u) << i;
        ASSERT_TRUE(waitForMessages(owed, 1)) << i;
        EXPECT_EQ(owed.codes(), std::vector<WPARAM>{MCI_NOTIFY_ABORTED}) << i;
        EXPECT_NE(mode(id), MCI_MODE_PLAY) << i;
    }
    ASSERT_EQ(fake.play(id, &sink), 0u);
    ASSERT_EQ(fake.command(id, MCI_CLOSE), 0u);
    ASSERT_TRUE(waitForMessages(sink, 1));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_ABORTED});
}

TEST_F(ServiceCommands, ModesAfterSeekStepPauseAndResume) {
    const MCIDEVICEID id = fake.open("clip.avi");
    EXPECT_EQ(fake.command(id, MCI_RESUME, MCI_NOTIFY, &sink), MCIERR_NONAPPLICABLE_FUNCTION);
    EXPECT_EQ(fake.command(id, MCI_PAUSE), 0u);  // nothing to pause: stays stopped
    EXPECT_EQ(mode(id), MCI_MODE_STOP);

    ASSERT_EQ(fake.play(id, nullptr), 0u);
    ASSERT_EQ(fake.seek(id, 50), 0u);
    EXPECT_EQ(mode(id), MCI_MODE_STOP);  // a seek ends playback

    ASSERT_EQ(fake.play(id, nullptr), 0u);
    ASSERT_EQ(fake.command(id, MCI_PAUSE), 0u);
    EXPECT_EQ(mode(id), MCI_MODE_PAUSE);
    ASSERT_EQ(fake.seek(id, 20), 0u);
    EXPECT_EQ(mode(id), MCI_MODE_PAUSE);  // a pause survives a seek and a step
    ASSERT_EQ(fake.step(id, 3), 0u);
    EXPECT_EQ(mode(id), MCI_MODE_PAUSE);
    EXPECT_EQ(position(id), 23u);

    ASSERT_EQ(fake.command(id, MCI_RESUME, 0, &sink), 0u);
    EXPECT_EQ(mode(id), MCI_MODE_PLAY);
    fake.clock().advanceUs(34000);  // one frame on, not yet two
    ASSERT_TRUE(QTest::qWaitFor([&] { return position(id) > 23; }, 10000));
    EXPECT_EQ(position(id), 24u);  // resumes from the frame it was moved to
    ASSERT_TRUE(fake.runClockUntil([&] { return mode(id) == MCI_MODE_STOP; }));
    ASSERT_TRUE(waitForMessages(sink, 1));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_SUCCESSFUL});
}

TEST_F(ServiceCommands, SynchronousCommandsNotifyWhenAsked) {
    const MCIDEVICEID id = fake.open("clip.avi");
    MCI_SEEK_PARMS seek;
    seek.dwCallback = sink.callback();
    seek.dwTo = 12;
    ASSERT_EQ(mciSendCommandA(id, MCI_SEEK, MCI_NOTIFY | MCI_TO, DWORD_PTR(&seek)), 0u);
    seek.dwTo = 500;
    ASSERT_EQ(mciSendCommandA(id, MCI_SEEK, MCI_NOTIFY | MCI_TO, DWORD_PTR(&seek)), MCIERR_OUTOFRANGE);
    ASSERT_TRUE(waitForMessages(sink, 1));
    QTest::qWait(20);
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_SUCCESSFUL});
}

TEST_F(ServiceCommands, ANotifyWindowDestroyedMeanwhileIsNotTold) {
    const MCIDEVICEID id = fake.open("clip.avi");
    auto* gone = new NotifySink;
    ASSERT_EQ(fake.play(id, gone), 0u);
    delete gone;
    EXPECT_EQ(fake.command(id, MCI_STOP), 0u);
    QTest::qWait(20);  // nothing posted to a dead window: a crash would end the test here
}

TEST_F(ServiceCommands, StatusNeverWaitsForTheDecoder) {
    const MCIDEVICEID id = fake.open("clip.avi");
    video->setGate(false);
    ASSERT_EQ(fake.play(id, nullptr), 0u);
    for (int i = 0; i < 20; ++i) {
        fake.clock().advanceUs(100000);
        QTest::qWait(5);
        EXPECT_EQ(mode(id), MCI_MODE_PLAY);
        EXPECT_EQ(position(id), 0u);  // nothing new decoded, nothing new shown
    }
    video->setGate(true);
    ASSERT_TRUE(fake.runClockUntil([&] { return mode(id) == MCI_MODE_STOP; }));
}

TEST_F(ServiceCommands, AFileThatBecomesUnreadableStopsPlaybackCleanly) {
    const MCIDEVICEID id = fake.open("clip.avi");
    video->unreadableFrom = 40;
    ASSERT_EQ(fake.play(id, &sink), 0u);
    ASSERT_TRUE(fake.runClockUntil([&] { return mode(id) == MCI_MODE_STOP; }));
    EXPECT_EQ(position(id), 39u);
    ASSERT_TRUE(waitForMessages(sink, 1));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_FAILURE});
    EXPECT_EQ(fake.seek(id, 60), MCIERR_FILE_READ);
    EXPECT_EQ(position(id), 39u);
}

// Decoding ahead follows the user: a step answered from kept frames turns it at once, the
// first step back after playing goes back, and a run through kept frames decodes ahead of them.
TEST_F(ServiceCommands, DecodingAheadFollowsTheUser) {
    const MCIDEVICEID id = fake.open("clip.avi");
    const auto lastAhead = [&] {
        const auto aheads = video->aheadsSoFar();
        return aheads.empty() ? std::pair{-1, 0} : aheads.back();
    };
    {
        std::lock_guard lock(video->aheadMutex);
        video->kept = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    }
    ASSERT_EQ(fake.seek(id, 15), 0u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return lastAhead().first == 15; }, 10000));
    ASSERT_EQ(fake.step(id, -1), 0u);  // kept: answered at once, and turns the decoding ahead
    EXPECT_TRUE(QTest::qWaitFor([&] { return lastAhead() == std::pair{14, -1}; }, 5000));
    EXPECT_GE(video->aheadsStopped.load(), 1);
    // A jump back decodes behind, the frame after it first; that frame is converted as soon as
    // it is there, so a step onto it costs the caller nothing.
    video->backDecodesNextFirst = true;
    const size_t asked = video->aheadsSoFar().size();
    ASSERT_EQ(fake.seek(id, 5), 0u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return video->aheadsSoFar().size() == asked + 2; }, 5000));
    const int conversions = uiConversions();
    ASSERT_EQ(fake.step(id, 1), 0u);
    EXPECT_EQ(position(id), 6u);
    EXPECT_EQ(uiConversions(), conversions);
    video->backDecodesNextFirst = false;

    ASSERT_EQ(fake.seek(id, 10), 0u);
    ASSERT_EQ(fake.play(id, nullptr), 0u);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const auto [at, direction] = lastAhead();
            return direction == 1 && at > 10 && at < 20;
        },
        5000));
    ASSERT_TRUE(fake.runClockUntil([&] { return position(id) >= 40; }));
    ASSERT_EQ(fake.command(id, MCI_PAUSE), 0u);
    const int paused = int(position(id));
    ASSERT_EQ(fake.step(id, -1), 0u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return lastAhead() == std::pair{paused - 1, -1}; }, 5000));
}

TEST_F(ServiceCommands, CloseWhilePlayingAndClosingEverythingAtTheEnd) {
    const MCIDEVICEID a = fake.open("clip.avi");
    const MCIDEVICEID b = fake.open("clip.avi");
    QWidget window;
    MCI_DGV_WINDOW_PARMS attach;
    attach.hWnd = &window;
    ASSERT_EQ(mciSendCommandA(a, MCI_WINDOW, MCI_WAIT | MCI_DGV_WINDOW_HWND, DWORD_PTR(&attach)), 0u);
    ASSERT_EQ(fake.play(a, &sink), 0u);
    ASSERT_EQ(fake.play(b, nullptr), 0u);
    fake.runClockUntil([&] { return position(a) > 5; });
    ASSERT_EQ(fake.command(a, MCI_CLOSE), 0u);
    EXPECT_TRUE(window.findChildren<mci::VideoSurface*>().isEmpty());
    EXPECT_EQ(mode(b), MCI_MODE_PLAY);  // the other device plays on
    fake.runClockUntil([&] { return position(b) > 10; });
    ASSERT_TRUE(waitForMessages(sink, 1));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_ABORTED});
}

}  // namespace
