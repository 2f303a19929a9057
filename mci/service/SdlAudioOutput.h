// Sound through SDL audio. A feed thread decodes ahead into a small ring buffer; SDL's audio
// thread takes from it in its callback and never waits for the decoder (an empty ring plays
// silence). The heard position is counted from the samples handed to the device before the
// last callback (the buffer handed then is what plays next), interpolated between callbacks.
//
// Threads: public members on the UI thread; the feed thread and SDL's callback share the ring
// under m_mutex.
#pragma once

#include "AudioOutput.h"

#include <SDL.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace mci {

class SdlAudioOutput final : public AudioOutput {
public:
    // A working output, or nullptr when SDL has no device to open (e.g. no sound card). SDL's
    // drivers that play to nowhere (dummy, disk) count as no device unless allowed: nobody
    // hears them and their pace is not the wall clock's, so they must not drive playback.
    static std::unique_ptr<SdlAudioOutput> open(bool allowSilentDrivers = false);
    ~SdlAudioOutput() override;

    int sampleRate() const override { return m_rate; }
    int channels() const override { return m_channels; }
    bool start(AudioStream* stream, qint64 startUs) override;
    void stop() override;
    std::optional<qint64> heardUs() const override;

private:
    SdlAudioOutput() = default;
    static void fillCallback(void* self, Uint8* out, int bytes);
    void fill(float* out, int frames);
    void feed();

    using SteadyTime = std::chrono::steady_clock::time_point;

    // Set once by open() before the device first calls back.
    SDL_AudioDeviceID m_device = 0;
    int m_rate = 0;
    int m_channels = 0;
    int m_bufferFrames = 0;

    AudioStream* m_stream = nullptr;  // read by the feed thread only while it runs
    std::thread m_feeder;

    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_space;
    std::vector<float> m_ring;
    size_t m_readFrame = 0;
    size_t m_filledFrames = 0;
    bool m_stopFeeding = false;
    bool m_streamEnded = false;
    bool m_exhausted = false;
    bool m_starved = false;      // the last callback found nothing to play: the sound stalls
    qint64 m_startUs = 0;
    qint64 m_deliveredFrames = 0;   // stream frames handed to SDL since start
    qint64 m_framesBeforeCallback = -1;  // -1 until the first callback
    SteadyTime m_callbackTime;
};

}  // namespace mci
