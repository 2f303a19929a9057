// The SDL sound output, run on SDL's dummy driver (this machine has no sound card): the feed
// thread and the callback hand the stream over and the heard position moves on.
#include "MediaSource.h"
#include "SdlAudioOutput.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>

namespace {

// A stream of a given number of sample frames of silence, counting what was read.
class CountedStream final : public mci::AudioStream {
public:
    explicit CountedStream(int frames) : m_left(frames) {}
    bool seekUs(qint64) override { return true; }
    int read(float* out, int frames) override {
        const int n = std::min(frames, m_left.load());
        std::fill(out, out + size_t(n) * 2, 0.0f);
        m_left -= n;
        m_read += n;
        return n;
    }
    int sampleRate() const override { return 48000; }
    int channels() const override { return 2; }
    std::atomic<int> m_left;
    std::atomic<int> m_read{0};
};

// A quarter of a second of silence, then a read that does not return until interrupted (or
// released by the test): a stream whose decoder grinds through a file replaced under it.
class StallingStream final : public mci::AudioStream {
public:
    bool seekUs(qint64) override { return true; }
    int read(float* out, int frames) override {
        if (m_given < 12000) {
            std::fill(out, out + size_t(frames) * 2, 0.0f);
            m_given += frames;
            return frames;
        }
        std::unique_lock lock(m_mutex);
        m_released.wait(lock, [&] { return m_release; });
        return 0;
    }
    int sampleRate() const override { return 48000; }
    int channels() const override { return 2; }
    void interrupt() override { release(); }
    void release() {
        std::lock_guard lock(m_mutex);
        m_release = true;
        m_released.notify_all();
    }

private:
    int m_given = 0;
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_release = false;
};

class SdlAudio : public ::testing::Test {
protected:
    void SetUp() override { qputenv("SDL_AUDIODRIVER", "dummy"); }
    void TearDown() override { qunsetenv("SDL_AUDIODRIVER"); }
};

TEST_F(SdlAudio, SilentDriversDoNotCountAsASoundDevice) {
    EXPECT_EQ(mci::SdlAudioOutput::open(), nullptr);
}

// Without a sound device the output finds none and says nothing on the terminal, where ALSA
// used to explain at length. A device name ALSA does not know stands for a machine without
// one, so the test asks the same of machines that have one.
TEST_F(SdlAudio, NoDeviceIsFoundQuietly) {
    qputenv("SDL_AUDIODRIVER", "alsa");
    qputenv("AUDIODEV", "tavolen_no_such_device");
    QTemporaryFile said;
    ASSERT_TRUE(said.open());
    std::fflush(stderr);
    const int terminal = dup(STDERR_FILENO);
    dup2(said.handle(), STDERR_FILENO);
    const auto output = mci::SdlAudioOutput::open();
    std::fflush(stderr);
    dup2(terminal, STDERR_FILENO);
    close(terminal);
    qunsetenv("AUDIODEV");
    EXPECT_EQ(output, nullptr);
    QFile written(said.fileName());  // its own offset: the one said shares is at the end
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll().toStdString(), "");
}

TEST_F(SdlAudio, PlaysAStreamAndReportsWhereItIs) {
    auto output = mci::SdlAudioOutput::open(true);
    ASSERT_NE(output, nullptr);
    CountedStream stream(48000 / 2);  // half a second
    EXPECT_FALSE(output->heardUs().has_value());
    ASSERT_TRUE(output->start(&stream, 5000000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return output->heardUs().has_value(); }, 10000));
    EXPECT_GE(*output->heardUs(), 5000000);
    // Once the stream has run out the output says so, and the clock carries on without it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream.m_left == 0 && !output->heardUs(); }, 20000));
    EXPECT_EQ(stream.m_read.load(), 48000 / 2);

    CountedStream again(48000 * 10);
    ASSERT_TRUE(output->start(&again, 0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return again.m_read > 0; }, 10000));
    output->stop();  // stopping mid-stream lets go of it at once
    const int read = again.m_read;
    QTest::qWait(50);
    EXPECT_EQ(again.m_read.load(), read);
    EXPECT_FALSE(output->heardUs().has_value());
}

// When the stream stops delivering without ending, the device plays silence: the output is
// not sounding then, so the playback clock runs on instead of standing still with the sound.
// Stopping then does not wait for the stalled read, which would hang the window: the stream is
// told to give up.
TEST_F(SdlAudio, AStalledStreamIsNotHeardAndStopsAtOnce) {
    auto output = mci::SdlAudioOutput::open(true);
    ASSERT_NE(output, nullptr);
    StallingStream stream;
    ASSERT_TRUE(output->start(&stream, 0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return output->heardUs().has_value(); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !output->heardUs().has_value(); }, 10000));

    // Should stop() wait for the read after all, the stream is released after a long while
    // rather than hang the test.
    auto stopping = std::async(std::launch::async, [&] { output->stop(); });
    const bool returned = stopping.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!returned) stream.release();
    EXPECT_TRUE(returned) << "stop() waited for the stalled read";
}

}  // namespace
