#include "ContainerScan.h"

#include "Cores.h"
#include "PictureHeader.h"
#include "MatroskaScan.h"
#include "RestartedClock.h"
#include "TransportStreamScan.h"
#include "SampleTable.h"
#include "SourceCounters.h"
#include "SourceErrors.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <system_error>


namespace mci {

namespace {

std::atomic<int> s_indexPasses{0};
std::atomic<int> s_joinedParts{0};

// Packets compared at the start of the file.
constexpr int kCheckedAtStart = 32;
// How many packets reading through reads between two progress reports.
constexpr int kPacketsPerReport = 64;


// Whether the kinds of the pictures tell the order they are shown in, where the container does
// not: in these codecs a decoder holds back one reference picture at a time, and nothing else.
bool kindsGiveTheOrder(AVCodecID codec)
{
    return codec == AV_CODEC_ID_MPEG1VIDEO || codec == AV_CODEC_ID_MPEG2VIDEO || codec == AV_CODEC_ID_MPEG4;
}


// A decoder shows the H.264 pictures from one IDR picture up to the next in the order of their
// picture order counts, which the codec's parser reads from the slice headers. Each picture is
// given the decode time of its place in that order as the presentation time the container does
// not keep, as frame n of an MPEG picture in AVI takes the n-th decode time.
class PictureOrder {
public:
    explicit PictureOrder(const AVCodecParameters* parameters)
        : m_context(avcodec_alloc_context3(nullptr)), m_parser(av_parser_init(parameters->codec_id))
    {
        if (!m_context || !m_parser || avcodec_parameters_to_context(m_context.get(), parameters) < 0)
            m_parser.reset();
        else
            m_parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    }

    void add(const AVPacket* packet, const PictureHeaderReader& headers)
    {
        uint8_t* out = nullptr;
        int outSize = 0;
        if (m_parser && packet->size > 0)  // no bytes would end the parser's stream
            av_parser_parse2(m_parser.get(), m_context.get(), &out, &outSize, packet->data, packet->size,
                             AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        m_counts.push_back(m_parser ? m_parser->output_picture_number : 0);
        m_anew.push_back(headers.startsAnew(packet->data, packet->size));
    }

    // Leaves the packets as they are where the counts cannot be had. Without decode times (a
    // bare H.264 stream) the places are the positions in the file, and the frames are timed at
    // the nominal rate.
    void giveTimes(std::vector<PacketEntry>& packets) const
    {
        if (!m_parser || packets.size() != m_counts.size())
            return;
        const auto untimed = [](const PacketEntry& p) { return p.dts == kNoTime; };
        if (std::any_of(packets.begin(), packets.end(), untimed)) {
            for (size_t i = 0; i < packets.size(); ++i)
                packets[i].dts = qint64(i);
        }
        for (size_t first = 0; first < packets.size();) {
            size_t end = first + 1;
            while (end < packets.size() && !m_anew[end])
                ++end;
            std::vector<size_t> pictures;
            std::vector<qint64> places;
            for (size_t i = first; i < end; ++i) {
                if (packets[i].shown) {
                    pictures.push_back(i);
                    places.push_back(packets[i].dts);
                }
            }
            std::stable_sort(pictures.begin(), pictures.end(),
                             [&](size_t a, size_t b) { return m_counts[a] < m_counts[b]; });
            std::sort(places.begin(), places.end());
            for (size_t k = 0; k < pictures.size(); ++k)
                packets[pictures[k]].pts = places[k];
            first = end;
        }
        for (PacketEntry& p : packets) {
            if (!p.shown)
                p.pts = p.dts;
        }
    }

    // For each packet its place among the shown pictures in the order a decoder gives them out
    // (each IDR picture's predecessors first, then by count); empty where the counts cannot be had.
    std::vector<int> shownOrder(const std::vector<PacketEntry>& packets) const
    {
        if (!m_parser || packets.size() != m_counts.size())
            return {};
        std::vector<size_t> pictures;
        for (size_t i = 0; i < packets.size(); ++i) {
            if (packets[i].shown)
                pictures.push_back(i);
        }
        std::vector<int> segment(packets.size(), 0);
        for (size_t i = 1; i < packets.size(); ++i)
            segment[i] = segment[i - 1] + (m_anew[i] ? 1 : 0);
        std::stable_sort(pictures.begin(), pictures.end(), [&](size_t a, size_t b) {
            return segment[a] != segment[b] ? segment[a] < segment[b] : m_counts[a] < m_counts[b];
        });
        std::vector<int> order(packets.size(), -1);
        for (size_t k = 0; k < pictures.size(); ++k)
            order[pictures[k]] = int(k);
        return order;
    }

private:
    CodecContextPtr m_context;
    ParserPtr m_parser;
    std::vector<int> m_counts;
    std::vector<bool> m_anew;
};

}  // namespace

void reservePackets(ContainerScan& scan, size_t count)
{
    reserveOnLargePages(scan.packets, count);
}

size_t expectedVideoPackets(const Demuxer& demuxer, qint64 fileBytes, qint64 leastBytes)
{
    const AVFormatContext* context = demuxer.context();
    const AVStream* stream = demuxer.stream(demuxer.videoStream());
    const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (context->duration <= 0 || rate.num <= 0 || rate.den <= 0)
        return 0;
    const qint64 room = fileBytes / std::max<qint64>(leastBytes, 1);
    const qint64 guess = av_rescale(context->duration, qint64(rate.num) * 9, qint64(rate.den) * 8 * AV_TIME_BASE);
    return size_t(std::clamp<qint64>(std::min(guess, room) + 64, 0, room));
}

bool ScanReading::tell()
{
    if (cancelled)
        return false;
    const double fraction = std::min(1.0, double(read.load()) / double(std::max<qint64>(fileSize, 1)));
    if (progress && !progress(fraction))
        cancelled = true;
    return !cancelled;
}

int partsToScan(qint64 fileBytes)
{
    // Below this a part's thread costs more than it brings.
    constexpr qint64 kLeastPart = qint64(32) << 20;
    return int(std::clamp<qint64>(fileBytes / kLeastPart, 1, coresToUse()));
}

void readInParts(int count, const std::function<void(int)>& readPart, const std::function<void()>& tell,
                 std::atomic<bool>& stop)
{
    std::vector<std::future<void>> others;
    try {
        for (int k = 1; k < count; ++k) {
            try {
                others.push_back(std::async(std::launch::async, readPart, k));
            } catch (const std::system_error&) {
                readPart(k);  // no thread to be had: read here
            }
        }
        readPart(0);
        for (auto& part : others) {
            while (part.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
                tell();
            part.get();  // an exception of the part's thread comes out here
        }
        tell();
    } catch (...) {
        stop = true;  // the other parts stop; their futures wait for them
        throw;
    }
}

bool orderIsInThePictures(const Demuxer& demuxer)
{
    const AVCodecParameters* parameters = demuxer.videoParameters();
    const char* format = demuxer.context()->iformat->name;
    const bool bare = std::strcmp(format, "h264") == 0 || std::strcmp(format, "hevc") == 0;
    const AVCodecID codec = parameters->codec_id;
    return (!demuxer.storesPresentationTimes() || bare) && (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC)
           && parameters->video_delay > 0;
}

namespace {

// Codecs whose decoders give every picture out as soon as it is decoded.
bool showsInDecodeOrder(AVCodecID codec)
{
    switch (codec) {
    case AV_CODEC_ID_VP8: case AV_CODEC_ID_VP9: case AV_CODEC_ID_AV1: case AV_CODEC_ID_THEORA:
    case AV_CODEC_ID_MJPEG: case AV_CODEC_ID_FLV1: case AV_CODEC_ID_H263: case AV_CODEC_ID_VP6:
    case AV_CODEC_ID_VP6F: case AV_CODEC_ID_VP6A: case AV_CODEC_ID_MSMPEG4V3: case AV_CODEC_ID_WMV1:
    case AV_CODEC_ID_WMV2: case AV_CODEC_ID_PRORES: case AV_CODEC_ID_DVVIDEO: case AV_CODEC_ID_RAWVIDEO:
    case AV_CODEC_ID_FFV1: case AV_CODEC_ID_HUFFYUV: case AV_CODEC_ID_CINEPAK: case AV_CODEC_ID_MSVIDEO1:
        return true;
    default:
        return false;
    }
}

// The order a decoder of MPEG-1, MPEG-2 and MPEG-4 part 2 shows the pictures in (see
// HeldBackOrder); empty where a picture's kind is not known.
std::vector<int> shownOrderOfKinds(const std::vector<PacketEntry>& packets)
{
    std::vector<int> order(packets.size(), -1);
    HeldBackOrder heldBack([&order](int i, int place) { order[size_t(i)] = place; });
    for (size_t i = 0; i < packets.size(); ++i) {
        const PictureKind kind = packets[i].kind;
        if (!packets[i].shown)
            continue;
        if (!kindIsKnown(kind))
            return {};
        heldBack.add(int(i), kind != PictureKind::Unreferenced);
    }
    heldBack.finish();
    return order;
}

// MPEG-1, MPEG-2 and MPEG-4 part 2 decoders show a B-picture at once and hold back the reference
// picture before it, whatever times the container gives. Where those times put the pictures in
// another order (FFmpeg's Xvid encoder gives each B-picture the time of a picture after it), a
// step by them would go back and forth between pictures: the pictures are numbered in the order
// the decoder shows them, and the times, in their own order, spread over them. (Program and
// transport streams, whose clock may restart, are timed run by run and left as they are.)
void timeInTheOrderShown(std::vector<PacketEntry>& packets, const Demuxer& demuxer)
{
    if (!demuxer.storesPresentationTimes() || demuxer.clockMayRestart()
        || !kindsGiveTheOrder(demuxer.videoParameters()->codec_id))
        return;
    const std::vector<int> place = shownOrderOfKinds(packets);
    // The pictures shown take the places 0, 1, 2...
    std::vector<size_t> shown(size_t(std::count_if(place.begin(), place.end(), [](int at) { return at >= 0; })));
    for (size_t i = 0; i < place.size(); ++i) {
        if (place[i] < 0)
            continue;
        if (packets[i].pts == kNoTime)
            return;
        shown[size_t(place[i])] = i;
    }
    if (std::is_sorted(shown.begin(), shown.end(), [&](size_t a, size_t b) { return packets[a].pts < packets[b].pts; }))
        return;
    std::vector<qint64> times;
    times.reserve(shown.size());
    for (size_t i : shown)
        times.push_back(packets[i].pts);
    std::sort(times.begin(), times.end());
    for (size_t n = 0; n < shown.size(); ++n)
        packets[shown[n]].pts = times[n];
}

// Where a clock that should run on goes back in the middle (RestartedClock.h): the order a
// decoder shows the pictures in, read from the pictures as the reading through goes on. For
// codecs that never reorder it is the decode order; for MPEG-1, MPEG-2 and MPEG-4 part 2 the
// kinds of the pictures give it; H.264 and HEVC give it by the parser's picture counts, which
// need every packet from the first. Where the restart is expected (a scan of the container saw
// it), they are gathered from the first packet on; else from the packet where the restart
// shows, the packets before it read once more. For other codecs the order cannot be had, and
// the file is refused.
class RestartWatch {
public:
    RestartWatch(const Demuxer& demuxer, bool expected)
        : m_demuxer(demuxer), m_watching(!demuxer.clockMayRestart() && demuxer.storesPresentationTimes())
    {
        if (m_watching && expected && countsGiveTheOrder()) {
            m_headers.emplace(demuxer.videoParameters());
            m_order.emplace(demuxer.videoParameters());
        }
    }

    // After each packet the reading added to packets (the last one).
    std::optional<OpenFailure> add(const AVPacket* packet, const std::vector<PacketEntry>& packets,
                                   const OpenProgress& progress)
    {
        const bool gathering = bool(m_order);
        if (gathering)
            m_order->add(packet, *m_headers);
        if (!m_watching || m_seen || !clockGoesBackAt(packets, packets.size() - 1))
            return std::nullopt;
        m_seen = true;
        if (gathering || !countsGiveTheOrder())
            return std::nullopt;
        if (auto failure = readBefore(packets.size() - 1, progress))
            return failure;
        if (m_order)
            m_order->add(packet, *m_headers);
        return std::nullopt;
    }

    // After the last packet: the pictures ordered as the decoder shows them, or the file refused
    // where that order cannot be read.
    std::optional<OpenFailure> finish(std::vector<PacketEntry>& packets) const
    {
        if (!m_seen)
            return std::nullopt;
        std::vector<int> shown;
        if (showsInDecodeOrder(m_demuxer.videoParameters()->codec_id)) {
            shown.assign(packets.size(), -1);
            int next = 0;
            for (size_t i = 0; i < packets.size(); ++i)
                shown[i] = packets[i].shown ? next++ : -1;
        } else if (kindsGiveTheOrder(m_demuxer.videoParameters()->codec_id)) {
            shown = shownOrderOfKinds(packets);
        } else if (m_order) {
            shown = m_order->shownOrder(packets);
        }
        // Numbered by the container's times, some frames would show other pictures.
        if (shown.empty())
            return openFailure(MCIERR_SOURCE_TRUNCATED);
        const StreamClock clock = clockOf(m_demuxer);
        continueClockThroughRestarts(packets, shown,
                                     av_rescale(clock.nominalFrameUs, clock.timeBaseDen, 1'000'000LL * clock.timeBaseNum));
        return std::nullopt;
    }

private:
    bool countsGiveTheOrder() const
    {
        const AVCodecID codec = m_demuxer.videoParameters()->codec_id;
        return codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC;
    }

    // The first count packets through a demuxer of their own, into the picture order; none when
    // they cannot all be read again. Asks progress only whether to go on.
    std::optional<OpenFailure> readBefore(size_t count, const OpenProgress& progress)
    {
        auto opened = m_demuxer.reopen();
        auto* demuxer = std::get_if<std::unique_ptr<Demuxer>>(&opened);
        PacketPtr packet(av_packet_alloc());
        if (!demuxer || !packet)
            return std::nullopt;
        (*demuxer)->keepOnly((*demuxer)->videoStream());
        const AVCodecParameters* parameters = (*demuxer)->videoParameters();
        m_headers.emplace(parameters);
        m_order.emplace(parameters);
        const double fraction = m_demuxer.fractionRead();
        for (size_t read = 0; read < count; ++read) {
            if ((*demuxer)->read(packet.get()) < 0) {
                m_order.reset();
                return std::nullopt;
            }
            const PacketRef held(packet.get());
            m_order->add(held.get(), *m_headers);
            if (progress && (read + 1) % kPacketsPerReport == 0 && !progress(fraction))
                return openFailure(MCIERR_SOURCE_CANCELLED);
        }
        return std::nullopt;
    }

    const Demuxer& m_demuxer;
    const bool m_watching;
    bool m_seen = false;
    std::optional<PictureHeaderReader> m_headers;
    std::optional<PictureOrder> m_order;
};

}  // namespace

std::variant<ContainerScan, OpenFailure> scanThroughDemuxer(Demuxer& demuxer, const OpenProgress& progress,
                                                           bool clockGoesBack)
{
    const int video = demuxer.videoStream();
    demuxer.keepOnly(video);
    PictureHeaderReader headers(demuxer.videoParameters());
    ContainerScan scan;
    scan.identity = PacketIdentity::Bytes;
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return openFailure(MCIERR_OUT_OF_MEMORY);
    std::optional<PictureOrder> order;
    std::optional<RestartWatch> restarts;
    if (orderIsInThePictures(demuxer))
        order.emplace(demuxer.videoParameters());
    else
        restarts.emplace(demuxer, clockGoesBack);
    int result = 0;
    while ((result = demuxer.read(packet.get())) >= 0) {
        const PacketRef held(packet.get());
        scan.packets.push_back(demuxedPacketEntry(held.get(), headers, demuxer.unpacksVideo()));
        if (order)
            order->add(held.get(), headers);
        else if (auto failure = restarts->add(held.get(), scan.packets, progress))
            return *failure;
        if (progress && scan.packets.size() % kPacketsPerReport == 0 && !progress(demuxer.fractionRead()))
            return openFailure(MCIERR_SOURCE_CANCELLED);
    }
    // Damage after some frames ends the video there (a truncated file plays what it has);
    // a failing disk does not.
    if (result != AVERROR_EOF && mciErrorFromAv(result, FormatKnown::Yes) == MCIERR_FILE_READ)
        return openFailure(MCIERR_FILE_READ);
    if (order)
        order->giveTimes(scan.packets);
    else if (auto failure = restarts->finish(scan.packets))
        return *failure;
    timeInTheOrderShown(scan.packets, demuxer);
    scan.outcome = ContainerScan::Outcome::Done;
    return scan;
}

bool agreesWithDemuxer(ContainerScan& scan, Demuxer& demuxer)
{
    std::vector<PacketEntry>& packets = scan.packets;
    if (packets.empty())
        return false;
    const int video = demuxer.videoStream();
    demuxer.keepOnly(video);
    PictureHeaderReader headers(demuxer.videoParameters());
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return false;
    std::optional<qint64> shift;
    int expected = 0;
    // The scan's packet where it is expected has the demuxer's packet's key (and size and
    // position, where the scan knows them: a demuxer that numbers its packets as it meets them
    // gives a shifted packet the number the scan expects).
    const auto agrees = [&](const AVPacket* real) {
        const quint64 key = keyOf(scan.identity, real->data, real->size, real->pts, real->dts);
        const int at = expected;
        if (at >= int(packets.size()) || packets[size_t(at)].key != key)
            return false;
        const PacketEntry& p = packets[size_t(at)];
        if (!scan.sizes.empty() && (scan.sizes[size_t(at)] != real->size || (real->pos >= 0 && real->pos != p.position)))
            return false;
        const PacketEntry demuxed = demuxedPacketEntry(real, headers, demuxer.unpacksVideo());
        if (demuxed.pts != kNoTime && p.pts != kNoTime && !shift)
            shift = demuxed.pts - p.pts;
        if (p.shown != demuxed.shown || p.keyframe != demuxed.keyframe || p.dts != demuxed.dts
            || (demuxed.pts != kNoTime && demuxed.pts - p.pts != shift))
            return false;
        expected = at + 1;
        // A table gives durations from its decode times, where the demuxer may give the frame
        // rate's or none; the duration only counts for the last picture shown, which is in the
        // last interval, and there it is the demuxer's, as a reading through would have it.
        packets[size_t(at)].duration = real->duration;
        return true;
    };
    for (int read = 0; read < kCheckedAtStart && expected < int(packets.size()); ++read) {
        if (demuxer.read(packet.get()) < 0)
            return false;
        const PacketRef held(packet.get());
        if (!agrees(held.get()))
            return false;
    }
    int last = int(packets.size()) - 1;
    while (last > 0 && !packets[size_t(last)].keyframe)
        --last;
    const PacketEntry& tail = packets[size_t(last)];
    const bool sought = demuxer.prefersByteSeek() ? demuxer.seekToByte(tail.position)
                                                  : demuxer.seekToTimestamp(video, tail.dts != kNoTime ? tail.dts : tail.pts);
    if (!sought)
        return false;
    // Packets before the keyframe may come first; from it on, every one must agree.
    expected = last;
    bool reached = false;
    int result = 0;
    while ((result = demuxer.read(packet.get())) >= 0) {
        const PacketRef held(packet.get());
        const bool ok = agrees(held.get());
        if (!reached && !ok)
            continue;
        if (!ok)
            return false;
        reached = true;
    }
    if (!reached || expected != int(packets.size()))
        return false;
    if (shift && *shift != 0) {
        for (PacketEntry& p : packets) {
            if (p.pts != kNoTime)
                p.pts += *shift;
        }
        if (scan.identity == PacketIdentity::PresentationTime) {
            for (PacketEntry& p : packets)
                p.key = timeKey(p.pts);
        }
    }
    return true;
}

StreamClock clockOf(const Demuxer& demuxer)
{
    const AVStream* stream = demuxer.stream(demuxer.videoStream());
    const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    StreamClock clock;
    clock.timeBaseNum = stream->time_base.num;
    clock.timeBaseDen = stream->time_base.den;
    clock.nominalFrameUs = rate.num > 0 && rate.den > 0 ? av_rescale(1'000'000, rate.den, rate.num) : 0;
    clock.mayRestart = demuxer.clockMayRestart();
    clock.decodeOrderOnly = !demuxer.storesPresentationTimes() && kindsGiveTheOrder(stream->codecpar->codec_id);
    // An H.261 picture never says whether it is coded on its own (its decoder takes every one for
    // one that refers to the picture before), and writers mark every packet a keyframe: only the
    // first picture is sure to begin a decoding.
    clock.firstKeyframeOnly = stream->codecpar->codec_id == AV_CODEC_ID_H261;
    return clock;
}

// The frame index of a file seen for the first time: from the container's table where it lists
// every frame, else through the demuxer. A table must agree with the packets the demuxer gives.
std::variant<IndexedFile, OpenFailure> indexFile(const QString& path, std::unique_ptr<Demuxer>& demuxer,
                                                 const OpenProgress& progress, SampleHeadsAhead* ahead)
{
    ++s_indexPasses;
    ContainerScan scan = readSampleTable(path, *demuxer, progress, ahead);
    if (ahead)
        ahead->stop();  // where the table was not read, the reading through needs no samples of it
    const bool tabled = scan.outcome == ContainerScan::Outcome::Done;
    const char* format = demuxer->context()->iformat->name;
    if (!tabled && std::strstr(format, "matroska"))
        scan = scanMatroska(path, *demuxer, progress);
    else if (!tabled && std::strcmp(format, "mpegts") == 0)
        scan = scanTransportStream(path, *demuxer, progress);
    if (scan.outcome == ContainerScan::Outcome::Cancelled)
        return openFailure(MCIERR_SOURCE_CANCELLED);
    // Packets known by their times cannot be told apart where the times repeat.
    const bool goesBack = scan.clockGoesBack
                          || (scan.outcome == ContainerScan::Outcome::Done && !demuxer->clockMayRestart()
                              && clockGoesBack(scan.packets));
    if (goesBack)
        scan.outcome = ContainerScan::Outcome::CannotScan;
    if (scan.outcome == ContainerScan::Outcome::Done && !agreesWithDemuxer(scan, *demuxer)) {
        // The check moved the demuxer; the reading through starts from a fresh open.
        auto reopened = demuxer->reopen();
        if (auto* failure = std::get_if<OpenFailure>(&reopened))
            return *failure;
        demuxer = std::move(std::get<std::unique_ptr<Demuxer>>(reopened));
        scan.outcome = ContainerScan::Outcome::CannotScan;
    }
    if (scan.outcome != ContainerScan::Outcome::Done) {
        auto read = scanThroughDemuxer(*demuxer, progress, goesBack);
        if (auto* failure = std::get_if<OpenFailure>(&read))
            return *failure;
        scan = std::move(std::get<ContainerScan>(read));
    } else {
        timeInTheOrderShown(scan.packets, *demuxer);
    }
    StreamClock clock = clockOf(*demuxer);
    clock.identity = scan.identity;
    return IndexedFile{FrameIndex(std::move(scan.packets), clock), !(tabled && scan.outcome == ContainerScan::Outcome::Done)};
}

int indexPassCount()
{
    return s_indexPasses.load();
}

void countJoinedPart()
{
    ++s_joinedParts;
}

int joinedPartCount()
{
    return s_joinedParts.load();
}

}  // namespace mci

