#include "MediaSource.h"

#include "AudioDecoder.h"
#include "ContainerScan.h"
#include "DecodedFrameData.h"
#include "Demuxer.h"
#include "FrameIndex.h"
#include "FrameReader.h"
#include "IndexCache.h"
#include "OggPages.h"
#include "SampleTable.h"
#include "SourceCounters.h"
#include "SourceErrors.h"
#include "VideoDecoder.h"

#include <QtDebug>

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace mci {

namespace {

constexpr AVRational kMicroseconds{1, 1'000'000};
constexpr int kSoundFramesPerSecond = 30;

std::optional<OpenFailure> checkPicture(const AVCodecParameters* parameters)
{
    const qint64 width = parameters->width, height = parameters->height;
    if (width <= 0 || height <= 0)
        return openFailure(MCIERR_INVALID_FILE);
    if (width > kMaxPictureSide || height > kMaxPictureSide || width * height > kMaxPicturePixels)
        return openFailure(MCIERR_SOURCE_PICTURE_TOO_LARGE);
    return std::nullopt;
}

// The size a picture is shown at: the sample aspect ratio the container or codec parameters
// give, else the one the first picture carries (H.263 says it only there), and the turn.
QSize shownSizeOf(AVFormatContext* context, AVStream* stream, const DecodedFrame& first)
{
    const int width = stream->codecpar->width, height = stream->codecpar->height;
    const AVRational aspect = av_guess_sample_aspect_ratio(context, stream, nullptr);
    if (aspect.num <= 0 || aspect.den <= 0)
        return first.shownSize();
    // The sample aspect ratio widens or narrows the picture; its height stays.
    const qint64 shown = av_rescale(width, aspect.num, aspect.den);
    return orientationOf(stream).shown(QSize(int(std::clamp<qint64>(shown, 1, kMaxPictureSide * 4)), height));
}

bool isPcm(AVCodecID codec)
{
    return codec >= AV_CODEC_ID_FIRST_AUDIO && codec < AV_CODEC_ID_ADPCM_IMA_QT;
}

// The playing time of a sound-only file. Uncompressed sound knows it from its header, and Ogg
// (but Opus, which counts its pre-skip there too) from its last granule position, which counts
// the samples that decode, where the file is one chain. Elsewhere what the container says may
// count the encoder's padding (an MP3 of 3 s claims 3.03 s), round each packet's duration
// (RealMedia's milliseconds) or include a packet that decodes to nothing: the sound is decoded
// to its end.
std::variant<qint64, OpenFailure> soundDurationUs(Demuxer& demuxer, OggChains chains, const OpenProgress& progress)
{
    const AVStream* stream = demuxer.stream(demuxer.audioStream());
    const bool ogg = std::strcmp(demuxer.context()->iformat->name, "ogg") == 0
                  && stream->codecpar->codec_id != AV_CODEC_ID_OPUS && chains == OggChains::One;
    if ((isPcm(stream->codecpar->codec_id) || ogg) && stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        return av_rescale_q(stream->duration, stream->time_base, kMicroseconds);
    return AudioDecoder::decodedLengthUs(demuxer, progress);
}

class FileSource final : public MediaSource {
public:
    FileSource(QString path, MediaInfo info, qint64 originUs, bool chainedOgg)
        : m_path(std::move(path)), m_info(info), m_originUs(originUs), m_chainedOgg(chainedOgg),
          m_cache(FrameCache::defaultBudget())
    {
    }

    // The index is read until the keeping is done.
    ~FileSource() override
    {
        if (m_keeping.joinable())
            m_keeping.join();
    }

    // Video files: the index and the reader that uses it.
    void setVideo(FrameIndex index, std::unique_ptr<Demuxer> demuxer, std::unique_ptr<VideoDecoder> decoder)
    {
        m_index = std::make_unique<FrameIndex>(std::move(index));
        m_reader = std::make_unique<FrameReader>(std::move(demuxer), std::move(decoder), *m_index, m_cache);
    }

    // Writes the index to the user's cache folder beside the open, which does not wait for it:
    // for a two-hour file that is a tenth of a second, and nothing shown depends on it.
    void keepIndex(int streamIndex)
    {
        const auto keep = [path = m_path, streamIndex, index = m_index.get()] {
            bool kept = false;
            try {
                kept = IndexCache::store(path, streamIndex, *index);
            } catch (const std::bad_alloc&) {  // nothing may end the thread
            }
            if (!kept)
                qWarning("mci: cannot keep the index of %s in %s", qPrintable(path), qPrintable(IndexCache::directory()));
        };
        try {
            m_keeping = std::thread(keep);
        } catch (const std::system_error&) {
            keep();  // no thread to be had: the open waits for it
        }
    }

    const MediaInfo& info() const override { return m_info; }
    // Known once the first picture is decoded, before anyone else sees the source.
    void setNaturalSize(QSize size) { m_info.naturalSize = size; }

    qint64 frameStartUs(int n) const override
    {
        if (m_index)
            return m_index->frameStartUs(n);
        n = std::clamp(n, 0, m_info.frameCount);
        return n == m_info.frameCount ? m_info.durationUs : qint64(n) * 1'000'000 / kSoundFramesPerSecond;
    }

    int frameAtUs(qint64 t) const override
    {
        if (m_index)
            return m_index->frameAtUs(t);
        const qint64 n = std::max<qint64>(t, 0) * kSoundFramesPerSecond / 1'000'000;
        return int(std::clamp<qint64>(n, 0, std::max(m_info.frameCount - 1, 0)));
    }

    FrameFacts frameFacts(int n) const override
    {
        if (!m_index || n < 0 || n >= m_index->frameCount())
            return {};
        return {m_index->pictureType(n), m_index->isKeyframe(n)};
    }

    std::shared_ptr<const DecodedFrame> frame(int n) override { return m_reader ? m_reader->frame(n) : nullptr; }

    std::shared_ptr<const DecodedFrame> cachedFrame(int n) const override { return m_cache.find(n); }

    void prefetch(int at, int direction, const std::function<bool()>& stop) override
    {
        if (m_reader)
            m_reader->prefetch(at, direction, stop);
    }

    std::unique_ptr<AudioStream> openAudio(int sampleRate, int channels) override
    {
        if (!m_info.hasAudio)
            return nullptr;
        auto opened = AudioDecoder::open(m_path, m_originUs, sampleRate, channels, m_chainedOgg);
        if (auto* failure = std::get_if<OpenFailure>(&opened)) {
            qWarning("mci: the sound of %s cannot be decoded: %s", qPrintable(m_path), qPrintable(failure->text));
            return nullptr;
        }
        return std::move(std::get<std::unique_ptr<AudioDecoder>>(opened));
    }

private:
    QString m_path;
    MediaInfo m_info;
    qint64 m_originUs;
    bool m_chainedOgg;
    FrameCache m_cache;
    std::unique_ptr<FrameIndex> m_index;
    std::unique_ptr<FrameReader> m_reader;  // after m_index and m_cache: it fills one from the other
    std::thread m_keeping;  // writes m_index to the cache folder; joined before anything goes
};

std::variant<std::unique_ptr<MediaSource>, OpenFailure>
openVideo(const QString& path, std::unique_ptr<Demuxer> demuxer, OggChains chains, const OpenProgress& progress,
          SampleHeadsAhead& ahead)
{
    AVStream* stream = demuxer->stream(demuxer->videoStream());
    if (auto failure = checkPicture(stream->codecpar))
        return *failure;
    auto decoder = VideoDecoder::create(stream, demuxer->videoParameters());
    if (auto* failure = std::get_if<OpenFailure>(&decoder))
        return *failure;

    std::optional<FrameIndex> index = IndexCache::load(path, demuxer->videoStream());
    bool keep = false;
    if (index) {
        ahead.stop();
    } else {
        auto built = indexFile(path, demuxer, progress, &ahead);
        if (auto* failure = std::get_if<OpenFailure>(&built))
            return *failure;
        IndexedFile& fresh = std::get<IndexedFile>(built);
        index = std::move(fresh.index);
        keep = fresh.worthKeeping;
    }
    if (index->frameCount() == 0)
        return openFailure(demuxer->formatKnown() == FormatKnown::Yes ? MCIERR_SOURCE_TRUNCATED : MCIERR_INVALID_FILE);
    stream = demuxer->stream(demuxer->videoStream());  // the index may have opened it anew

    MediaInfo info;
    info.hasVideo = true;
    info.hasAudio = demuxer->audioStream() >= 0;
    info.frameCount = index->frameCount();
    info.durationUs = index->frameStartUs(index->frameCount());
    const qint64 originUs = av_rescale_q(index->firstPts(), stream->time_base, kMicroseconds);
    info.firstPtsUs = originUs;
    const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (rate.num > 0 && rate.den > 0) {
        info.rateNum = rate.num;
        info.rateDen = rate.den;
    }
    info.variableRate = index->hasVariableRate();
    AVFormatContext* context = demuxer->context();
    auto source = std::make_unique<FileSource>(path, info, originUs, chains == OggChains::Several);
    const int videoStream = demuxer->videoStream();
    source->setVideo(std::move(*index), std::move(demuxer), std::move(std::get<std::unique_ptr<VideoDecoder>>(decoder)));
    // Frames are the pictures that decode: a file none of whose pictures does is damaged, not a
    // video with nothing to show.
    const auto first = source->frame(0);
    if (!first)
        return openFailure(MCIERR_SOURCE_TRUNCATED);
    source->setNaturalSize(shownSizeOf(context, stream, *first));
    // After the first picture, which would wait for a core on a small machine.
    if (keep)
        source->keepIndex(videoStream);
    return source;
}

std::variant<std::unique_ptr<MediaSource>, OpenFailure>
openSound(const QString& path, Demuxer& demuxer, OggChains chains, const OpenProgress& progress)
{
    const int rate = demuxer.stream(demuxer.audioStream())->codecpar->sample_rate;
    if (rate < kMinSampleRate || rate > kMaxSampleRate)
        return openFailure(demuxer.formatKnown() == FormatKnown::Yes ? MCIERR_SOURCE_TRUNCATED : MCIERR_INVALID_FILE);
    auto duration = soundDurationUs(demuxer, chains, progress);
    if (auto* failure = std::get_if<OpenFailure>(&duration))
        return *failure;
    MediaInfo info;
    info.hasAudio = true;
    info.durationUs = std::get<qint64>(duration);
    info.frameCount = int(std::min<qint64>((info.durationUs * kSoundFramesPerSecond + 999'999) / 1'000'000, INT32_MAX));
    if (info.frameCount <= 0)
        return openFailure(demuxer.formatKnown() == FormatKnown::Yes ? MCIERR_SOURCE_TRUNCATED : MCIERR_INVALID_FILE);
    const AVStream* stream = demuxer.stream(demuxer.audioStream());
    const qint64 originUs =
        stream->start_time != AV_NOPTS_VALUE ? av_rescale_q(stream->start_time, stream->time_base, kMicroseconds) : 0;
    return std::make_unique<FileSource>(path, info, originUs, chains == OggChains::Several);
}

std::variant<std::unique_ptr<MediaSource>, OpenFailure> openFile(const QString& path, const OpenProgress& progress)
{
    SampleHeadsAhead ahead(path);
    auto opened = Demuxer::open(path, ahead.editLists());
    if (auto* failure = std::get_if<OpenFailure>(&opened))
        return *failure;
    auto demuxer = std::move(std::get<std::unique_ptr<Demuxer>>(opened));
    // Read once, for the sound's length and for its streams opened later.
    const OggChains chains = std::strcmp(demuxer->context()->iformat->name, "ogg") == 0 && demuxer->audioStream() >= 0
                                 ? oggChains(path)
                                 : OggChains::One;
    if (demuxer->videoStream() >= 0)
        return openVideo(path, std::move(demuxer), chains, progress, ahead);
    ahead.stop();
    return openSound(path, *demuxer, chains, progress);
}

}  // namespace

int decoderSeekCount()
{
    return FrameReader::totalSeeks();
}

int decodedFrameCount()
{
    return FrameReader::totalDecoded();
}

int pictureOverrunCount()
{
    return PictureBuffers::overruns();
}

std::variant<std::unique_ptr<MediaSource>, OpenFailure> MediaSource::open(const QString& path, const OpenProgress& progress)
{
    // Opens run on threads of their own, where an exception that escapes ends the program: a
    // file whose index or pictures need more memory than the machine has is refused instead.
    try {
        return openFile(path, progress);
    } catch (const std::bad_alloc&) {
        return openFailure(MCIERR_OUT_OF_MEMORY);
    }
}

}  // namespace mci
