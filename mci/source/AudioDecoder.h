// The sound of a file decoded linearly and resampled to interleaved float: the AudioStream that
// MediaSource::openAudio hands out.
//
// Times are relative to the source's origin (the first video frame, or the start of the sound
// in a sound-only file): sound before the origin is skipped, and a gap between the origin and
// the first sample is filled with silence, so sample 0 plays with frame 0.
//
// A file rewritten under the stream (another file written over it, zeroes, garbage) is not
// read through: once more bytes have been read since the last sound than the file held when
// it was opened, the stream ends. A long stretch without sound in a sound file never comes
// near that, and the stream ends otherwise only where the demuxer finds the file's end.
//
// One thread at a time, but for interrupt(). Owns its own demuxer, decoder and resampler.
#pragma once

#include "Demuxer.h"
#include "MediaSource.h"

#include <atomic>
#include <memory>
#include <variant>
#include <vector>

namespace mci {

class AudioDecoder final : public AudioStream {
public:
    // chained: the file is a chained Ogg (see oggChains()), as its open found.
    static std::variant<std::unique_ptr<AudioDecoder>, OpenFailure>
    open(const QString& path, qint64 originUs, int sampleRate, int channels, bool chained);
    // How long the sound of demuxer's file plays, in microseconds: the samples its packets
    // decode to, read to the end (a packet that does not decode plays nothing; what packets
    // claim may be rounded). Moves the demuxer; cancelled when progress answers false.
    static std::variant<qint64, OpenFailure> decodedLengthUs(Demuxer& demuxer, const OpenProgress& progress);
    ~AudioDecoder() override;

    bool seekUs(qint64 t) override;
    int read(float* out, int frames) override;
    void interrupt() override { m_interrupted = true; }
    int sampleRate() const override { return m_rate; }
    int channels() const override { return m_channels; }

private:
    // A file's demuxer and its sound's decoder.
    struct Reading {
        std::unique_ptr<Demuxer> demuxer;
        CodecContextPtr codec;
    };
    static std::variant<Reading, OpenFailure> openReading(const QString& path);

    AudioDecoder(Reading reading, qint64 originUs, int rate, int channels, bool chained);
    void take(Reading reading);
    bool makeResampler(const AVFrame* frame);
    bool decodeMore();
    bool drainResampler();
    int outputCapacity(int inputSamples) const;
    bool fetchFrame();
    bool stopReading();
    bool startOver();
    int64_t bytesRead() const;
    void appendFrame();
    void trimToTarget(qint64 frameStartUs, size_t firstSample);

    std::unique_ptr<Demuxer> m_demuxer;
    CodecContextPtr m_codec;
    SwrPtr m_resampler;
    AVChannelLayout m_inLayout{};
    int m_inRate = 0;
    int m_inFormat = -1;
    PacketPtr m_packet;
    FramePtr m_frame;
    AVRational m_timeBase;
    qint64 m_originUs;
    int m_rate;
    int m_channels;

    std::vector<float> m_buffer;  // converted samples not read yet, interleaved
    size_t m_read = 0;            // samples of m_buffer already read
    bool m_trimPending = true;    // the next decoded sound is cut or padded to m_targetUs
    qint64 m_targetUs = 0;
    qint64 m_nextUs = 0;          // where the sound decoded next starts when it does not say
    // Chained Ogg: each chain's timestamps start from 0 again, so times are counted in samples
    // decoded from the start of the file, and a seek decodes from there.
    bool m_chained;
    bool m_draining = false;
    bool m_ended = false;
    std::atomic<bool> m_interrupted{false};
    int64_t m_fileBytes = -1;     // the file's size when opened; unknown below 0
    int64_t m_bytesAtSound = 0;   // bytes read when the decoder last gave sound, or at a seek
};

}  // namespace mci
