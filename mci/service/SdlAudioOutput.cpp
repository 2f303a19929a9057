#include "SdlAudioOutput.h"

#include "MediaSource.h"

#include <QByteArray>

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include <alsa/error.h>

namespace mci {

namespace {

// Where the machine has no sound card, ALSA explains so on the terminal in eight lines before
// SDL hears of it. That is an ordinary case here (the device plays silently on its own clock),
// so ALSA keeps quiet while SDL looks for a device.
class QuietAlsa {
public:
    QuietAlsa() { snd_lib_error_set_handler(&ignore); }
    ~QuietAlsa() { snd_lib_error_set_handler(nullptr); }
    QuietAlsa(const QuietAlsa&) = delete;
    QuietAlsa& operator=(const QuietAlsa&) = delete;

private:
    static void ignore(const char*, int, const char*, int, const char*, ...) {}
};

constexpr int kPreferredRate = 48000;
constexpr int kPreferredChannels = 2;
// A power of two: SDL's dummy driver aborted on close with other sizes.
constexpr int kBufferFrames = 1024;
constexpr int kRingFrames = 12288;  // about a quarter of a second ahead
constexpr int kFeedChunkFrames = 1024;

}  // namespace

std::unique_ptr<SdlAudioOutput> SdlAudioOutput::open(bool allowSilentDrivers) {
    const QuietAlsa quiet;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return nullptr;
    const QByteArray driver = SDL_GetCurrentAudioDriver();
    if (!allowSilentDrivers && (driver == "dummy" || driver == "disk")) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    auto output = std::unique_ptr<SdlAudioOutput>(new SdlAudioOutput());
    SDL_AudioSpec want{};
    want.freq = kPreferredRate;
    want.format = AUDIO_F32SYS;
    want.channels = kPreferredChannels;
    want.samples = kBufferFrames;
    want.callback = &SdlAudioOutput::fillCallback;
    want.userdata = output.get();
    SDL_AudioSpec have{};
    // No changes allowed: SDL converts from the format asked for, so the stream is opened in a
    // format we know. The device starts paused, so nothing calls back before start().
    output->m_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (output->m_device == 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    output->m_rate = have.freq;
    output->m_channels = have.channels;
    output->m_bufferFrames = have.samples;
    output->m_ring.assign(size_t(kRingFrames) * have.channels, 0.0f);
    return output;
}

SdlAudioOutput::~SdlAudioOutput() {
    if (m_device == 0) return;  // open() failed before there was anything to close
    stop();
    SDL_CloseAudioDevice(m_device);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

bool SdlAudioOutput::start(AudioStream* stream, qint64 startUs) {
    stop();  // nothing left to stop: the caller stops the last run before it seeks the stream
    if (stream == nullptr) return false;
    {
        std::lock_guard lock(m_mutex);
        m_readFrame = 0;
        m_filledFrames = 0;
        m_stopFeeding = false;
        m_streamEnded = false;
        m_exhausted = false;
        m_starved = false;
        m_startUs = startUs;
        m_deliveredFrames = 0;
        m_framesBeforeCallback = -1;
    }
    m_stream = stream;
    m_feeder = std::thread([this] { feed(); });
    SDL_PauseAudioDevice(m_device, 0);
    return true;
}

void SdlAudioOutput::stop() {
    SDL_PauseAudioDevice(m_device, 1);
    {
        std::lock_guard lock(m_mutex);
        m_stopFeeding = true;
        m_framesBeforeCallback = -1;
    }
    m_space.notify_all();
    // The feed thread may be inside a read that takes long (a file rewritten under the stream):
    // told to give up, it returns at once, so stopping never waits for the decoder.
    if (m_feeder.joinable()) {
        m_stream->interrupt();
        m_feeder.join();
    }
    m_stream = nullptr;
}

std::optional<qint64> SdlAudioOutput::heardUs() const {
    std::lock_guard lock(m_mutex);
    // Starved, the device plays silence and the sound stands still; the picture must not wait
    // for it (a stream grinding through a file replaced under it would freeze playback).
    if (m_stopFeeding || m_exhausted || m_starved || m_framesBeforeCallback < 0) return std::nullopt;
    const qint64 bufferUs = qint64(m_bufferFrames) * 1000000 / m_rate;
    const auto sinceCallback = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - m_callbackTime)
                                   .count();
    // A callback comes when the device is ready for more: what it was handed before has been
    // heard, and the buffer handed now plays from then on. (Counting one buffer more in flight
    // put the picture 40 ms behind the sound on a sound server.)
    const qint64 heard = m_startUs + m_framesBeforeCallback * 1000000 / m_rate
                         + std::min<qint64>(sinceCallback, bufferUs);
    return std::max(heard, m_startUs);
}

void SdlAudioOutput::fillCallback(void* self, Uint8* out, int bytes) {
    auto* output = static_cast<SdlAudioOutput*>(self);
    output->fill(reinterpret_cast<float*>(out), bytes / int(sizeof(float)) / output->m_channels);
}

void SdlAudioOutput::fill(float* out, int frames) {
    std::unique_lock lock(m_mutex);
    const size_t ringFrames = m_ring.size() / m_channels;
    int copied = 0;
    while (copied < frames && m_filledFrames > 0 && !m_stopFeeding) {
        const size_t run = std::min({size_t(frames - copied), m_filledFrames, ringFrames - m_readFrame});
        std::memcpy(out + size_t(copied) * m_channels, m_ring.data() + m_readFrame * m_channels,
                    run * m_channels * sizeof(float));
        m_readFrame = (m_readFrame + run) % ringFrames;
        m_filledFrames -= run;
        copied += int(run);
    }
    std::fill(out + size_t(copied) * m_channels, out + size_t(frames) * m_channels, 0.0f);
    if (!m_stopFeeding) {
        m_framesBeforeCallback = m_deliveredFrames;
        m_deliveredFrames += copied;
        m_callbackTime = std::chrono::steady_clock::now();
        m_starved = copied == 0;
        if (m_streamEnded && m_filledFrames == 0) m_exhausted = true;
    }
    lock.unlock();
    m_space.notify_all();
}

void SdlAudioOutput::feed() {
    std::vector<float> chunk(size_t(kFeedChunkFrames) * m_channels);
    const size_t ringFrames = m_ring.size() / m_channels;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_space.wait(lock, [&] {
                return m_stopFeeding || ringFrames - m_filledFrames >= size_t(kFeedChunkFrames);
            });
            if (m_stopFeeding) return;
        }
        const int got = m_stream->read(chunk.data(), kFeedChunkFrames);
        std::lock_guard lock(m_mutex);
        if (m_stopFeeding) return;
        if (got <= 0) {
            m_streamEnded = true;
            return;
        }
        for (int i = 0; i < got; ++i) {
            const size_t at = (m_readFrame + m_filledFrames) % ringFrames;
            std::memcpy(m_ring.data() + at * m_channels, chunk.data() + size_t(i) * m_channels,
                        m_channels * sizeof(float));
            ++m_filledFrames;
        }
    }
}

std::unique_ptr<AudioOutput> openSystemAudioOutput() {
    const QByteArray choice = qgetenv("TAVOLEN_AUDIO");
    if (choice == "none") return std::make_unique<NullAudioOutput>();
    if (auto sdl = SdlAudioOutput::open()) return sdl;
    return std::make_unique<NullAudioOutput>();
}

}  // namespace mci
