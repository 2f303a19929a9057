// Files without a picture: 30 frames a second, milliseconds as time, and the playback clock
// that follows the sound output while it is heard.
#include "FakeMedia.h"

#include <gtest/gtest.h>

#include <QTest>

using namespace servicetest;

namespace {

TEST(SoundOnly, CountsThirtyFramesASecondAndTellsTimeInMilliseconds) {
    FakeService fake;
    fake.addFile("tone.wav", soundMedia(2500000));
    const MCIDEVICEID id = fake.open("tone.wav");
    ASSERT_NE(id, 0u);
    EXPECT_EQ(fake.status(id, MCI_STATUS_LENGTH), 75u);
    ASSERT_EQ(fake.step(id, 30), 0u);
    ASSERT_EQ(fake.setTimeFormat(id, MCI_FORMAT_MILLISECONDS), 0u);
    EXPECT_EQ(fake.status(id, MCI_STATUS_LENGTH), 2500u);
    EXPECT_EQ(fake.status(id, MCI_STATUS_POSITION), 1000u);
    ASSERT_EQ(fake.seek(id, 1234), 0u);
    EXPECT_EQ(fake.status(id, MCI_STATUS_POSITION), 1234u);  // the time itself, not a frame's
    ASSERT_EQ(fake.setTimeFormat(id, MCI_FORMAT_FRAMES), 0u);
    EXPECT_EQ(fake.status(id, MCI_STATUS_POSITION), 37u);

    NotifySink sink;
    ASSERT_EQ(fake.play(id, &sink), 0u);
    fake.clock().advanceUs(500000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.status(id, MCI_STATUS_POSITION) == 52u; }, 10000));
    ASSERT_TRUE(fake.runClockUntil([&] { return fake.status(id, MCI_STATUS_MODE) == MCI_MODE_STOP; }));
    EXPECT_EQ(fake.status(id, MCI_STATUS_POSITION), 75u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sink.received.empty(); }, 10000));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_SUCCESSFUL});
}

// A play from a position while playing (how the transport bar jumps during playback) starts
// there; the run it replaces must not put back its own idea of the position.
TEST(SoundOnly, APlayFromAPositionWhilePlayingStartsThere) {
    FakeService fake;
    fake.addFile("tone.wav", soundMedia(3000000));
    const MCIDEVICEID id = fake.open("tone.wav");
    ASSERT_NE(id, 0u);
    ASSERT_EQ(fake.play(id, nullptr), 0u);
    fake.clock().advanceUs(1000000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.status(id, MCI_STATUS_POSITION) == 30u; }, 10000));
    ASSERT_EQ(fake.play(id, nullptr, MCI_FROM, 6), 0u);
    EXPECT_EQ(fake.status(id, MCI_STATUS_POSITION), 6u);
    fake.clock().advanceUs(500000);
    EXPECT_TRUE(QTest::qWaitFor([&] { return fake.status(id, MCI_STATUS_POSITION) == 21u; }, 10000));
}

// Reports a heard position the test sets; nullopt when the test says the sound has stopped.
class ManualAudio final : public mci::AudioOutput {
public:
    int sampleRate() const override { return 48000; }
    int channels() const override { return 2; }
    bool start(mci::AudioStream*, qint64) override { return true; }
    void stop() override {}
    std::optional<qint64> heardUs() const override { return heard; }
    std::optional<qint64> heard;
};

TEST(PlaybackClock, FollowsTheSoundWhileHeardAndCarriesOnWithoutIt) {
    ManualClock wall;
    ManualAudio audio;
    mci::PlaybackClock clock(wall, &audio);
    clock.start(2000000);
    wall.advanceUs(100000);
    EXPECT_EQ(clock.nowUs(), 2100000);  // no sound yet: the monotonic clock
    audio.heard = 2050000;              // sound lags: picture waits for it, never goes back
    EXPECT_EQ(clock.nowUs(), 2100000);
    audio.heard = 2300000;
    EXPECT_EQ(clock.nowUs(), 2300000);
    audio.heard.reset();  // the sound ran out: carry on from where it was
    wall.advanceUs(40000);
    EXPECT_EQ(clock.nowUs(), 2340000);
    clock.stop();
    wall.advanceUs(1000000);
    EXPECT_EQ(clock.nowUs(), 2340000);
}

}  // namespace
