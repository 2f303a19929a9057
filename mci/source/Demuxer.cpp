#include "Demuxer.h"

#include "SourceErrors.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <optional>
#include <vector>

namespace mci {

namespace {

// Refuses what can be told without FFmpeg, with the precise reason; on success leaves the
// file's first bytes in head for recognising its format.
std::optional<OpenFailure> checkFile(const QString& path, QByteArray* head)
{
    const QFileInfo info(path);
    if (!info.exists())
        return openFailure(MCIERR_FILE_NOT_FOUND);
    // A folder, a pipe or a device is nothing to play, and opening a pipe would wait forever.
    if (!info.isFile())
        return openFailure(MCIERR_FILE_READ);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return openFailure(MCIERR_FILE_READ);
    if (file.size() == 0)
        return openFailure(MCIERR_SOURCE_EMPTY_FILE);
    *head = file.read(64 * 1024);
    if (head->isEmpty())
        return openFailure(file.error() == QFileDevice::NoError ? MCIERR_SOURCE_EMPTY_FILE : MCIERR_FILE_READ);
    return std::nullopt;
}

// Recognised by content alone (no file name, so a random file called .mpg is not a video).
FormatKnown recognise(const QByteArray& head)
{
    std::vector<unsigned char> buffer(size_t(head.size()) + AVPROBE_PADDING_SIZE, 0);
    std::memcpy(buffer.data(), head.constData(), size_t(head.size()));
    AVProbeData probe{};
    probe.filename = "";
    probe.buf = buffer.data();
    probe.buf_size = int(head.size());
    int score = AVPROBE_SCORE_MAX / 4;
    return av_probe_input_format2(&probe, 1, &score) ? FormatKnown::Yes : FormatKnown::No;
}

bool isByteSeekFormat(const AVInputFormat* format)
{
    static const char* const names[] = {"mpeg", "mpegts", "mpegvideo", "h264", "hevc", "m4v"};
    if (format->flags & AVFMT_NO_BYTE_SEEK)
        return false;
    for (const char* name : names) {
        if (std::strcmp(format->name, name) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::variant<std::unique_ptr<Demuxer>, OpenFailure> Demuxer::open(const QString& path, EditLists editLists)
{
    QByteArray head;
    if (auto failure = checkFile(path, &head))
        return *failure;

    // FFmpeg copies the callback into the file's reader at the open, so what it asks must exist
    // from then on; the check itself is set later.
    auto interrupt = std::make_unique<InterruptCheck>();
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return openFailure(MCIERR_OUT_OF_MEMORY);
    raw->interrupt_callback.callback = [](void* opaque) {
        const auto& check = *static_cast<InterruptCheck*>(opaque);
        return check && check() ? 1 : 0;
    };
    raw->interrupt_callback.opaque = interrupt.get();
    AVDictionary* options = nullptr;
    // Only the file itself: a playlist or concatenation format must not reach other files.
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    if (editLists == EditLists::Simple)
        av_dict_set(&options, "advanced_editlist", "0", 0);
    const QByteArray url = "file:" + QFile::encodeName(path);
    const int opened = avformat_open_input(&raw, url.constData(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return openFailureFromAv(opened, recognise(head));
    FormatContextPtr context(raw);

    const int found = avformat_find_stream_info(context.get(), nullptr);
    if (found < 0)
        return openFailureFromAv(found, recognise(head));
    std::unique_ptr<Demuxer> demuxer(new Demuxer(std::move(context), std::move(interrupt), std::move(head)));
    demuxer->m_path = path;
    demuxer->m_editLists = editLists;
    if (demuxer->m_video < 0 && demuxer->m_audio < 0)
        return openFailure(MCIERR_INVALID_FILE);
    demuxer->learnPalette();
    return demuxer;
}

Demuxer::Demuxer(FormatContextPtr context, std::unique_ptr<InterruptCheck> interrupt, QByteArray head)
    : m_interrupt(std::move(interrupt)), m_context(std::move(context)), m_head(std::move(head))
{
    m_byteSeek = isByteSeekFormat(m_context->iformat);
    // Containers that store no presentation time on some packets get it from the reordering.
    m_context->flags |= AVFMT_FLAG_GENPTS;
    chooseStreams();
    unpackIfPacked();
}

// The filter passes plain packets through unchanged, so every MPEG-4 Part 2 stream goes through
// it: whether a stream is packed shows only in its packets.
void Demuxer::unpackIfPacked()
{
    if (m_video < 0 || stream(m_video)->codecpar->codec_id != AV_CODEC_ID_MPEG4)
        return;
    const AVBitStreamFilter* filter = av_bsf_get_by_name("mpeg4_unpack_bframes");
    AVBSFContext* raw = nullptr;
    if (!filter || av_bsf_alloc(filter, &raw) < 0)
        return;
    std::unique_ptr<AVBSFContext, FilterDeleter> context(raw);
    if (avcodec_parameters_copy(context->par_in, stream(m_video)->codecpar) < 0)
        return;
    context->time_base_in = stream(m_video)->time_base;
    if (av_bsf_init(context.get()) < 0)
        return;
    m_unpack = std::move(context);
}

// Asked only when something failed: probing the bytes against every format takes a
// millisecond or two, which an open that succeeds need not wait for.
FormatKnown Demuxer::formatKnown() const
{
    if (!m_known)
        m_known = recognise(m_head);
    return *m_known;
}

const AVCodecParameters* Demuxer::videoParameters() const
{
    if (m_video < 0)
        return nullptr;
    return m_unpack ? m_unpack->par_out : stream(m_video)->codecpar;
}

bool Demuxer::clockMayRestart() const
{
    return m_context->iformat->flags & AVFMT_TS_DISCONT;
}

bool Demuxer::storesPresentationTimes() const
{
    // ASF gives its video packets the times they are sent at, and MXF, where its index does not
    // say how pictures are reordered, their decode times as presentation times: the order they
    // are shown in is the one their pictures give, as in AVI.
    const char* name = m_context->iformat->name;
    return std::strcmp(name, "avi") != 0 && std::strcmp(name, "asf") != 0 && std::strcmp(name, "mxf") != 0;
}

void Demuxer::chooseStreams()
{
    for (unsigned i = 0; i < m_context->nb_streams; ++i) {
        const AVStream* s = m_context->streams[i];
        // A cover picture in a sound file is not a video.
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)
            && m_video < 0)
            m_video = int(i);
    }
    const int audio = av_find_best_stream(m_context.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    m_audio = audio >= 0 ? audio : -1;
}

void Demuxer::keepOnly(int streamIndex)
{
    m_kept = streamIndex;
    for (unsigned i = 0; i < m_context->nb_streams; ++i)
        m_context->streams[i]->discard = int(i) == streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
}

int Demuxer::read(AVPacket* packet)
{
    return m_unpack ? readUnpacked(packet) : readContainer(packet);
}

// Video packets go through the unpacking filter, which may hold one back until the next (the
// placeholder a packed B-picture is given out for); the end of the file lets out the last.
int Demuxer::readUnpacked(AVPacket* packet)
{
    for (;;) {
        int result = av_bsf_receive_packet(m_unpack.get(), packet);
        if (result != AVERROR(EAGAIN))
            return result;
        if (m_unpackDrained)
            return AVERROR_EOF;
        result = readContainer(packet);
        if (result == AVERROR_EOF) {
            m_unpackDrained = true;
            av_bsf_send_packet(m_unpack.get(), nullptr);
            continue;
        }
        if (result < 0 || packet->stream_index != m_video)
            return result;
        // A packet the filter refuses is damaged; the decoder would refuse it too.
        if (av_bsf_send_packet(m_unpack.get(), packet) < 0)
            av_packet_unref(packet);
    }
}

int Demuxer::readContainer(AVPacket* packet)
{
    // Damage in the middle of a file: the container resynchronises after it, so reading goes
    // on, a bounded number of times so that a file of nothing but damage still ends.
    constexpr int kMaxDamage = 64;
    int damage = 0;
    for (;;) {
        if (!m_readAhead.empty()) {
            av_packet_move_ref(packet, m_readAhead.front().get());
            m_readAhead.pop_front();
        } else {
            const int result = av_read_frame(m_context.get(), packet);
            if (result == AVERROR_INVALIDDATA && ++damage < kMaxDamage && m_context->pb && !avio_feof(m_context->pb))
                continue;
            if (result < 0)
                return result;
        }
        // Program and transport streams announce no streams up front: one met first in the
        // middle of the file is born undiscarded, so the stream index decides.
        if (m_kept < 0 || packet->stream_index == m_kept) {
            if (m_paletted && packet->stream_index == m_video)
                carryPalette(packet);
            return 0;
        }
        av_packet_unref(packet);
    }
}

bool Demuxer::seekToTimestamp(int streamIndex, int64_t ts)
{
    forgetHeldPackets();
    return av_seek_frame(m_context.get(), streamIndex, ts, AVSEEK_FLAG_BACKWARD) >= 0;
}

bool Demuxer::seekToByte(int64_t position)
{
    forgetHeldPackets();
    return av_seek_frame(m_context.get(), -1, position, AVSEEK_FLAG_BYTE) >= 0;
}

// A B-picture held back, or packets read at the open, belong to where reading was, not to where
// it goes on.
void Demuxer::forgetHeldPackets()
{
    if (m_unpack)
        av_bsf_flush(m_unpack.get());
    m_unpackDrained = false;
    m_readAhead.clear();
}

// Containers give a palette with the first video packet after the open only (and with one where
// it changes), while pictures are decoded from wherever a seek lands, by decoders made anew:
// without it they come out black. So the open reads up to that packet, and every video packet
// carries the palette in force. (Where a file changes its palette, a seek back before the
// change goes on with the later one.)
void Demuxer::learnPalette()
{
    const AVPixFmtDescriptor* format =
        m_video >= 0 ? av_pix_fmt_desc_get(AVPixelFormat(stream(m_video)->codecpar->format)) : nullptr;
    m_paletted = format && (format->flags & AV_PIX_FMT_FLAG_PAL);
    constexpr int kMostPackets = 256;
    for (int i = 0; m_paletted && i < kMostPackets; ++i) {
        PacketPtr packet(av_packet_alloc());
        if (!packet || av_read_frame(m_context.get(), packet.get()) < 0)
            return;
        const bool video = packet->stream_index == m_video;
        if (video)
            carryPalette(packet.get());
        m_readAhead.push_back(std::move(packet));
        if (video)
            return;
    }
}

void Demuxer::carryPalette(AVPacket* packet)
{
    size_t size = 0;
    if (const uint8_t* palette = av_packet_get_side_data(packet, AV_PKT_DATA_PALETTE, &size);
        palette && size == AVPALETTE_SIZE) {
        m_palette.assign(palette, palette + size);
    } else if (!m_palette.empty()) {
        if (uint8_t* carried = av_packet_new_side_data(packet, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE))
            std::memcpy(carried, m_palette.data(), AVPALETTE_SIZE);
    }
}

void Demuxer::setInterruptCheck(InterruptCheck check)
{
    *m_interrupt = std::move(check);
}

double Demuxer::fractionRead() const
{
    AVIOContext* io = m_context->pb;
    if (!io)
        return 0.0;
    const int64_t size = avio_size(io);
    if (size <= 0)
        return 0.0;
    return qBound(0.0, double(avio_tell(io)) / double(size), 1.0);
}

}  // namespace mci
