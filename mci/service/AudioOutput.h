// Sound output of a device: plays an AudioStream and reports the media time being heard, which
// is the playback clock while sound plays.
//
// The product opens SDL audio (SdlAudioOutput.h); where the machine has no sound device, or
// TAVOLEN_AUDIO=none is set, it uses NullAudioOutput and the device plays silently on the
// monotonic clock. Tests use the null output or a manual one.
//
// Threads: every member is called on the UI thread. An implementation may read the stream on
// threads of its own between start() and stop(); the caller does not touch the stream then.
#pragma once

#include <QtGlobal>

#include <memory>
#include <optional>

namespace mci {

class AudioStream;

class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    // The format the stream must deliver (interleaved float); 0 when nothing can be heard.
    virtual int sampleRate() const = 0;
    virtual int channels() const = 0;

    // Plays stream (not owned; it stays alive and untouched by the caller until stop()) whose
    // next sample is at media time startUs. False when nothing will be heard.
    virtual bool start(AudioStream* stream, qint64 startUs) = 0;
    // Silences the output and lets go of the stream at once, interrupting a read in progress.
    virtual void stop() = 0;

    // Media time of the sample being heard now; nullopt while not sounding (not started, no
    // device, or the stream has run out), so the clock runs on without it.
    virtual std::optional<qint64> heardUs() const = 0;
};

class NullAudioOutput final : public AudioOutput {
public:
    int sampleRate() const override { return 0; }
    int channels() const override { return 0; }
    bool start(AudioStream*, qint64) override { return false; }
    void stop() override {}
    std::optional<qint64> heardUs() const override { return std::nullopt; }
};

// The output the product uses: SDL audio, or the null output where no device can be opened or
// TAVOLEN_AUDIO=none is set.
std::unique_ptr<AudioOutput> openSystemAudioOutput();

}  // namespace mci
