#include "AudioDecoder.h"

#include "CodecContext.h"
#include "SourceErrors.h"

#include <algorithm>
#include <cstring>

namespace mci {

namespace {

constexpr AVRational kMicroseconds{1, 1'000'000};
// Compressed sound (MP3 above all) seeks by estimate; landing this much early and cutting by
// timestamp makes the start exact.
constexpr qint64 kSeekMarginUs = 500'000;
// Timestamps claiming more silence than this before the sound are damage, not a pause.
constexpr qint64 kMaxLeadingSilenceUs = 60'000'000;
// Reading forward, however far apart a file's pieces of sound lie, never takes more bytes
// between two of them than the file holds. More than that, beyond a margin for what a
// container reads twice (its index, a resync), and the file is no longer the one opened: a
// larger file written over it would be read through, byte by byte where a container searches
// for its next packet in what it cannot parse.
constexpr int64_t kReadMarginBytes = 4 << 20;
// How many packets the length's reading reads between two progress reports.
constexpr int kPacketsPerReport = 64;

qint64 samplesIn(qint64 us, int rate)
{
    return (us * rate + 500'000) / 1'000'000;
}

}  // namespace

std::variant<AudioDecoder::Reading, OpenFailure> AudioDecoder::openReading(const QString& path)
{
    auto opened = Demuxer::open(path);
    if (auto* failure = std::get_if<OpenFailure>(&opened))
        return *failure;
    auto demuxer = std::move(std::get<std::unique_ptr<Demuxer>>(opened));
    if (demuxer->audioStream() < 0)
        return openFailure(MCIERR_INVALID_FILE);
    auto codec = openCodecContext(demuxer->stream(demuxer->audioStream()));
    if (auto* failure = std::get_if<OpenFailure>(&codec))
        return *failure;
    return Reading{std::move(demuxer), std::move(std::get<CodecContextPtr>(codec))};
}

std::variant<std::unique_ptr<AudioDecoder>, OpenFailure>
AudioDecoder::open(const QString& path, qint64 originUs, int sampleRate, int channels, bool chained)
{
    if (sampleRate < kMinSampleRate || sampleRate > kMaxSampleRate || channels < 1 || channels > 8)
        return openFailure(MCIERR_INTERNAL);
    auto reading = openReading(path);
    if (auto* failure = std::get_if<OpenFailure>(&reading))
        return *failure;
    return std::unique_ptr<AudioDecoder>(
        new AudioDecoder(std::move(std::get<Reading>(reading)), originUs, sampleRate, channels, chained));
}

std::variant<qint64, OpenFailure> AudioDecoder::decodedLengthUs(Demuxer& demuxer, const OpenProgress& progress)
{
    auto opened = openCodecContext(demuxer.stream(demuxer.audioStream()));
    if (auto* failure = std::get_if<OpenFailure>(&opened))
        return *failure;
    AVCodecContext* codec = std::get<CodecContextPtr>(opened).get();
    demuxer.keepOnly(demuxer.audioStream());
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame)
        return openFailure(MCIERR_OUT_OF_MEMORY);
    // Whole runs at one rate are turned into time, so that no rounding adds up.
    qint64 playedUs = 0, samples = 0, packets = 0;
    int rate = 0;
    for (bool more = true; more;) {
        more = demuxer.read(packet.get()) >= 0;
        {
            const PacketRef held(more ? packet.get() : nullptr);
            avcodec_send_packet(codec, held.get());  // a packet the decoder rejects plays nothing
        }
        while (avcodec_receive_frame(codec, frame.get()) == 0) {
            // Sound at a rate no resampler takes is not played either (see makeResampler).
            if (frame->sample_rate >= kMinSampleRate && frame->sample_rate <= kMaxSampleRate) {
                if (frame->sample_rate != rate) {
                    playedUs += rate > 0 ? samples * 1'000'000 / rate : 0;
                    samples = 0;
                    rate = frame->sample_rate;
                }
                samples += frame->nb_samples;
            }
            av_frame_unref(frame.get());
        }
        if (progress && ++packets % kPacketsPerReport == 0 && !progress(demuxer.fractionRead()))
            return openFailure(MCIERR_SOURCE_CANCELLED);
    }
    return playedUs + (rate > 0 ? samples * 1'000'000 / rate : 0);
}

AudioDecoder::AudioDecoder(Reading reading, qint64 originUs, int rate, int channels, bool chained)
    : m_packet(av_packet_alloc()),
      m_frame(av_frame_alloc()),
      m_timeBase(reading.demuxer->stream(reading.demuxer->audioStream())->time_base),
      m_originUs(originUs),
      m_rate(rate),
      m_channels(channels),
      m_chained(chained)
{
    take(std::move(reading));
    if (AVIOContext* io = m_demuxer->context()->pb)
        m_fileBytes = avio_size(io);
    m_ended = !m_packet || !m_frame;
}

// Reads with these from now on, the reading so far counted as the header's.
void AudioDecoder::take(Reading reading)
{
    if (m_demuxer)
        m_demuxer->setInterruptCheck({});
    m_demuxer = std::move(reading.demuxer);
    m_codec = std::move(reading.codec);
    m_demuxer->keepOnly(m_demuxer->audioStream());
    m_bytesAtSound = bytesRead();
    m_demuxer->setInterruptCheck([this] { return stopReading(); });
}

// Asked on the reading thread before every piece of the file is read, inside FFmpeg too, where
// a container may search a long way for its next packet.
bool AudioDecoder::stopReading()
{
    return m_interrupted.load(std::memory_order_relaxed)
        || (m_fileBytes > 0 && bytesRead() - m_bytesAtSound > m_fileBytes + kReadMarginBytes);
}

int64_t AudioDecoder::bytesRead() const
{
    const AVIOContext* io = m_demuxer->context()->pb;
    return io ? io->bytes_read : 0;
}

AudioDecoder::~AudioDecoder()
{
    m_demuxer->setInterruptCheck({});  // closing the file must not ask a decoder half gone
    av_channel_layout_uninit(&m_inLayout);
}

bool AudioDecoder::makeResampler(const AVFrame* frame)
{
    // The frame's layout is kept as given, to notice when it changes; a layout that names no
    // channels is taken as the usual one for its count.
    av_channel_layout_uninit(&m_inLayout);
    if (av_channel_layout_copy(&m_inLayout, &frame->ch_layout) < 0)
        return false;
    AVChannelLayout inLayout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&inLayout, frame->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&inLayout, &frame->ch_layout);
    m_inRate = frame->sample_rate;
    m_inFormat = frame->format;
    if (m_inRate < kMinSampleRate || m_inRate > kMaxSampleRate)
        return false;
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, m_channels);
    SwrContext* raw = nullptr;
    const int made = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLT, m_rate, &inLayout,
                                         AVSampleFormat(m_inFormat), m_inRate, 0, nullptr);
    av_channel_layout_uninit(&outLayout);
    av_channel_layout_uninit(&inLayout);
    m_resampler.reset(raw);
    return made >= 0 && m_resampler && swr_init(m_resampler.get()) >= 0;
}

bool AudioDecoder::seekUs(qint64 t)
{
    m_interrupted = false;
    m_bytesAtSound = bytesRead();
    t = std::max<qint64>(t, 0);
    const AVStream* stream = m_demuxer->stream(m_demuxer->audioStream());
    qint64 ts = av_rescale_q(t + m_originUs - kSeekMarginUs, kMicroseconds, m_timeBase);
    const qint64 start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    ts = std::max(ts, start);
    const bool sought = m_chained ? startOver()
                                  : m_demuxer->seekToTimestamp(m_demuxer->audioStream(), ts)
                                        || (ts == start && m_demuxer->seekToByte(0));
    if (!sought)
        return false;
    avcodec_flush_buffers(m_codec.get());
    m_resampler.reset();
    m_buffer.clear();
    m_read = 0;
    m_trimPending = true;
    m_targetUs = t;
    m_nextUs = m_chained ? 0 : t;
    m_draining = false;
    m_ended = !m_packet || !m_frame;
    return true;
}

// A chained file is read again from its start by a demuxer and decoder of their own: once the
// demuxer has met a later chain, the first chain's packets no longer reach the stream it gives.
bool AudioDecoder::startOver()
{
    auto reading = openReading(m_demuxer->path());
    if (auto* fresh = std::get_if<Reading>(&reading)) {
        take(std::move(*fresh));
        return true;
    }
    return false;
}

int AudioDecoder::read(float* out, int frames)
{
    int written = 0;
    while (written < frames) {
        if (m_read >= m_buffer.size()) {
            m_buffer.clear();
            m_read = 0;
            if (!decodeMore())
                break;
            continue;
        }
        const int available = int((m_buffer.size() - m_read) / size_t(m_channels));
        const int count = std::min(frames - written, available);
        std::memcpy(out + size_t(written) * size_t(m_channels), m_buffer.data() + m_read,
                    size_t(count) * size_t(m_channels) * sizeof(float));
        m_read += size_t(count) * size_t(m_channels);
        written += count;
    }
    return written;
}

// Decodes one more piece of sound into the buffer; false at the end of the stream.
bool AudioDecoder::decodeMore()
{
    if (m_ended || m_interrupted.load(std::memory_order_relaxed))
        return false;
    if (!fetchFrame()) {
        m_ended = true;
        return drainResampler();
    }
    appendFrame();
    return true;
}

// Room for everything the resampler can give out for this much input, with what it holds.
int AudioDecoder::outputCapacity(int inputSamples) const
{
    const int64_t delay = swr_get_delay(m_resampler.get(), m_inRate);
    return int(av_rescale_rnd(delay + inputSamples, m_rate, m_inRate, AV_ROUND_UP)) + 32;
}

// The resampler's filter holds back the last few samples until told the sound has ended.
bool AudioDecoder::drainResampler()
{
    if (!m_resampler)
        return false;
    const int capacity = outputCapacity(0);
    const size_t first = m_buffer.size();
    m_buffer.resize(first + size_t(capacity) * size_t(m_channels));
    auto* target = reinterpret_cast<uint8_t*>(m_buffer.data() + first);
    const int made = swr_convert(m_resampler.get(), &target, capacity, nullptr, 0);
    m_buffer.resize(first + size_t(std::max(made, 0)) * size_t(m_channels));
    return made > 0;
}

bool AudioDecoder::fetchFrame()
{
    for (;;) {
        const int received = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (received == 0) {
            m_bytesAtSound = bytesRead();
            return true;
        }
        if (received != AVERROR(EAGAIN) || m_draining)
            return false;
        if (m_interrupted.load(std::memory_order_relaxed))
            return false;
        // The end of the file, a read error, or reading given up (interrupted, or too much read
        // without sound): what the decoder holds still plays.
        if (m_demuxer->read(m_packet.get()) < 0) {
            m_draining = true;
            avcodec_send_packet(m_codec.get(), nullptr);
            continue;
        }
        const PacketRef packet(m_packet.get());
        // A packet the decoder rejects is damage; the sound around it still plays.
        avcodec_send_packet(m_codec.get(), packet.get());
    }
}

void AudioDecoder::appendFrame()
{
    AVFrame* frame = m_frame.get();
    const bool sameInput = m_resampler && frame->sample_rate == m_inRate && frame->format == m_inFormat
        && av_channel_layout_compare(&frame->ch_layout, &m_inLayout) == 0;
    if (!sameInput && !makeResampler(frame)) {
        av_frame_unref(frame);
        m_resampler.reset();
        return;
    }
    const int64_t ts = frame->best_effort_timestamp;
    const qint64 startUs =
        ts != AV_NOPTS_VALUE && !m_chained ? av_rescale_q(ts, m_timeBase, kMicroseconds) - m_originUs : m_nextUs;
    m_nextUs = startUs + av_rescale(frame->nb_samples, 1'000'000, std::max(frame->sample_rate, 1));

    const int capacity = outputCapacity(frame->nb_samples);
    const size_t first = m_buffer.size();
    if (capacity > 0) {
        m_buffer.resize(first + size_t(capacity) * size_t(m_channels));
        auto* target = reinterpret_cast<uint8_t*>(m_buffer.data() + first);
        const int made = swr_convert(m_resampler.get(), &target, capacity,
                                     const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        m_buffer.resize(first + size_t(std::max(made, 0)) * size_t(m_channels));
    }
    av_frame_unref(frame);
    if (m_trimPending)
        trimToTarget(startUs, first);
}

// Cuts the sound just decoded (from sample firstSample of the buffer) so that what is read next
// starts exactly at m_targetUs, or pads it with silence when the sound starts later.
void AudioDecoder::trimToTarget(qint64 frameStartUs, size_t firstSample)
{
    const auto begin = m_buffer.begin() + qsizetype(firstSample);
    if (frameStartUs >= m_targetUs) {
        const qint64 gapUs = std::min(frameStartUs - m_targetUs, kMaxLeadingSilenceUs);
        m_buffer.insert(begin, size_t(samplesIn(gapUs, m_rate)) * size_t(m_channels), 0.0f);
        m_trimPending = false;
        return;
    }
    const size_t produced = (m_buffer.size() - firstSample) / size_t(m_channels);
    const size_t drop = size_t(samplesIn(m_targetUs - frameStartUs, m_rate));
    if (drop >= produced) {
        m_buffer.erase(begin, m_buffer.end());
        return;
    }
    m_buffer.erase(begin, begin + qsizetype(drop * size_t(m_channels)));
    m_trimPending = false;
}

}  // namespace mci
