#include "MatroskaScan.h"

#include "Demuxer.h"
#include "LargePages.h"
#include "PictureHeader.h"
#include "RestartedClock.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace mci {

namespace {

// Element IDs as the file writes them, length marker included; by where they are found.
enum : quint32 {
    kEbmlHeader = 0x1A45DFA3, kSegment = 0x18538067,
    kSeekHead = 0x114D9B74, kInfo = 0x1549A966, kTracks = 0x1654AE6B, kCluster = 0x1F43B675, kCues = 0x1C53BB6B,
    kTags = 0x1254C367, kChapters = 0x1043A770, kAttachments = 0x1941A469,
    kTimecodeScale = 0x2AD7B1,
    kTrackEntry = 0xAE, kTrackNumber = 0xD7, kTrackType = 0x83, kCodecId = 0x86, kDefaultDuration = 0x23E383,
    kTrackTimecodeScale = 0x23314F, kTrackOffset = 0x537F, kCodecDelay = 0x56AA, kContentEncodings = 0x6D80,
    kTimecode = 0xE7, kSimpleBlock = 0xA3, kBlockGroup = 0xA0,
    kBlock = 0xA1, kBlockDuration = 0x9B, kReferenceBlock = 0xFB,
};

constexpr std::pair<quint64, AVMediaType> kTrackTypes[] = {
    {1, AVMEDIA_TYPE_VIDEO}, {2, AVMEDIA_TYPE_AUDIO}, {0x11, AVMEDIA_TYPE_SUBTITLE}};
constexpr qint64 kLargestFrame = 256 << 20;  // anything larger is damage
// The demuxer derives decode times from the presentation times of at most this many pictures
// held back.
constexpr int kMaxReorderDelay = 16;
// Room is reserved for the packets the demuxer's guess of the length holds, but for no more
// than blocks of this size would fill the file: below it a file of tiny pictures grows its list.
constexpr qint64 kLeastReservedBlock = 256;
constexpr int kPadding = AV_INPUT_BUFFER_PADDING_SIZE;

struct Element {
    quint32 id = 0;
    qint64 data = 0;   // where its contents begin
    qint64 size = -1;  // -1: unknown, up to where what holds it ends
    qint64 end() const { return data + size; }
};

// The file read forward in large reads; a part wanted beyond what was read is read from where
// it begins, so what lies between is never read.
class FileWindow {
public:
    FileWindow(QFile& file, qint64 readBytes)
        : m_file(file), m_size(file.size()), m_capacity(readBytes), m_buffer(size_t(readBytes + kPadding))
    {
    }

    qint64 size() const { return m_size; }

    // Bytes position .. position + count of the file, valid until the next call, and followed by
    // kPadding bytes the caller may change; nullptr when the file ends before or cannot be read.
    uint8_t* bytes(qint64 position, qint64 count)
    {
        if (position >= m_start && position + count <= m_start + m_filled)
            return m_buffer.data() + (position - m_start);
        if (position < 0 || count < 0 || count > m_size - position)
            return nullptr;
        m_capacity = std::max(m_capacity, count);  // a picture larger than a read
        m_buffer.resize(size_t(m_capacity + kPadding));
        qint64 kept = 0;
        if (position >= m_start && position < m_start + m_filled) {
            kept = m_start + m_filled - position;
            std::memmove(m_buffer.data(), m_buffer.data() + (position - m_start), size_t(kept));
        } else if (!m_file.seek(position)) {
            return nullptr;
        }
        m_start = position;
        m_filled = kept;
        const qint64 wanted = std::min(m_capacity, m_size - position);
        for (qint64 read = 1; m_filled < wanted && read > 0; m_filled += std::max<qint64>(read, 0))
            read = m_file.read(reinterpret_cast<char*>(m_buffer.data()) + m_filled, wanted - m_filled);
        return m_filled >= count ? m_buffer.data() : nullptr;
    }

private:
    QFile& m_file;
    qint64 m_size;
    qint64 m_capacity;
    std::vector<uint8_t> m_buffer;
    qint64 m_start = 0;
    qint64 m_filled = 0;
};

// The length of a variable-size integer from its first byte, 0 when it is longer than max.
int vintLength(uint8_t first, int max)
{
    for (int length = 1; length <= max; ++length) {
        if (first & (0x80 >> (length - 1)))
            return length;
    }
    return 0;
}

quint64 bigEndian(const uint8_t* p, int size, quint64 value = 0)
{
    for (int i = 0; i < size; ++i)
        value = (value << 8) | p[i];
    return value;
}

bool isTopLevel(quint32 id)
{
    return id == kCluster || id == kCues || id == kTags || id == kChapters || id == kAttachments || id == kSeekHead
        || id == kInfo || id == kTracks || id == kEbmlHeader;
}

class MatroskaScanner {
public:
    // tells: this is the calling thread, which asks for progress.
    MatroskaScanner(const QString& path, const Demuxer& demuxer, ScanReading& reading, qint64 readBytes, bool tells)
        : m_file(path), m_window(m_file, readBytes), m_demuxer(demuxer), m_reading(reading), m_reportBytes(readBytes),
          m_tells(tells), m_headers(demuxer.videoParameters())
    {
        m_opened = m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    // The segment up to its first cluster (stoppedAt()); false where the file cannot be scanned.
    bool readHead();
    // Whether the clusters may be read in parts: the state a part's reading starts from can be
    // told to be the one the part before left.
    bool splits() const { return m_splits; }
    // What the head said, for a part; room for expected packets.
    bool takeHead(const MatroskaScanner& head, size_t expected);
    // Reads the segment from the cluster at on up to the first element at or after until; with
    // search, from the first cluster that begins in [at, until) on, if any.
    bool readPart(qint64 at, qint64 until, bool search);
    // Where the part began (-1: no cluster begins in it) and ended.
    qint64 startedAt() const { return m_startedAt; }
    qint64 stoppedAt() const { return m_stoppedAt; }
    qint64 segmentEnd() const { return m_segmentEnd; }
    // Whether the state the part leaves is the one it started from, as far as a part after it
    // that starts anew would read otherwise.
    bool leavesItsStart() const;
    // Whether the part read its packets as a reading that came from the part before would have,
    // whatever that one left.
    bool tookNothingFromBefore() const { return !m_answerCarried; }
    std::vector<PacketEntry>& packets() { return m_packets; }
    // The scan of the packets read, ending as this one's reading did.
    ContainerScan result(bool read, std::vector<PacketEntry>&& packets);

private:
    bool followsTheDemuxer();
    bool element(qint64 at, qint64 end, Element& found);
    bool unsignedValue(const Element& e, quint64& value);
    // Calls read on each element within parent (all of known size) until it answers false.
    template <typename Read>
    bool children(const Element& parent, Read read);
    bool readSegment(qint64 at, qint64 until, bool clusters);
    bool readTracks(const Element& tracks);
    bool readVideoTrack(const Element& track);
    bool readCluster(const Element& cluster, qint64& next);
    bool readBlockGroup(const Element& group, qint64 clusterTime);
    bool readBlock(const Element& block, qint64 clusterTime, int keyframe, qint64 duration);
    bool readFrame(PacketEntry& entry, uint8_t* frame, int size);
    qint64 firstClusterIn(qint64 from, qint64 until);
    bool reportProgress(qint64 position);

    QFile m_file;
    FileWindow m_window;
    const Demuxer& m_demuxer;
    ScanReading& m_reading;
    qint64 m_reportBytes;
    bool m_tells;
    bool m_opened = false;
    PictureHeaderReader m_headers;
    ParserPtr m_parser;
    CodecContextPtr m_parsed;  // the stream as the parser sees it
    int m_h264LengthSize = 0;  // where the H.264 parser's work may be told without it
    int m_delay = 0;
    bool m_intraOnly = false;
    quint64 m_timecodeScale = 1'000'000;  // ns a tick, where the file does not say
    quint64 m_videoTrack = 0;             // its number in the blocks; 0 until the tracks are read
    quint64 m_defaultDurationNs = 0;
    bool m_clusterSeen = false;
    qint64 m_segmentEnd = 0;
    qint64 m_startedAt = 0;
    qint64 m_stoppedAt = -1;
    qint64 m_reported = 0;
    qint64 m_nextReport = 0;
    bool m_cancelled = false;
    bool m_clockWentBack = false;
    std::vector<PacketEntry> m_packets;  // decode times not yet set
    bool m_splits = false;
    // A part's parser has not answered yet: its first answer must not be what the last one left.
    bool m_firstAnswer = false;
    bool m_answerCarried = false;
};

bool MatroskaScanner::readHead()
{
    Element header, segment;
    if (!m_opened || !followsTheDemuxer() || !element(0, m_window.size(), header) || header.id != kEbmlHeader
        || header.size < 0 || !element(header.end(), m_window.size(), segment) || segment.id != kSegment)
        return false;
    // A segment of unknown size runs to the end of the file; anything after a known one (a
    // second segment chained on) is not read as the demuxer reads it.
    m_segmentEnd = segment.size < 0 ? m_window.size() : segment.end();
    if (m_segmentEnd != m_window.size())
        return false;
    return readSegment(segment.data, m_segmentEnd, false);
}

bool MatroskaScanner::takeHead(const MatroskaScanner& head, size_t expected)
{
    m_timecodeScale = head.m_timecodeScale;
    m_videoTrack = head.m_videoTrack;
    m_defaultDurationNs = head.m_defaultDurationNs;
    m_segmentEnd = head.m_segmentEnd;
    m_clusterSeen = true;
    m_reported = m_nextReport = head.m_stoppedAt;
    reserveOnLargePages(m_packets, expected);
    return m_opened && followsTheDemuxer();
}

bool MatroskaScanner::readPart(qint64 at, qint64 until, bool search)
{
    m_firstAnswer = search;
    m_startedAt = search ? firstClusterIn(at, until) : at;
    if (search)
        m_reported = m_nextReport = std::max<qint64>(m_startedAt, 0);
    return m_startedAt < 0 || readSegment(m_startedAt, until, true);
}

bool MatroskaScanner::leavesItsStart() const
{
    return m_headers == PictureHeaderReader(m_demuxer.videoParameters());
}

ContainerScan MatroskaScanner::result(bool read, std::vector<PacketEntry>&& packets)
{
    ContainerScan result;
    if (read) {
        // As the demuxer does: each decode time is the smallest of the last delay + 1
        // presentation times but those taken already.
        std::array<qint64, kMaxReorderDelay + 1> times;
        times.fill(kNoTime);
        for (PacketEntry& entry : packets) {
            times[0] = entry.pts;
            for (size_t i = 0; i < size_t(m_delay) && times[i] > times[i + 1]; ++i)
                std::swap(times[i], times[i + 1]);
            entry.dts = times[0];
        }
        result.outcome = ContainerScan::Outcome::Done;
        result.packets = std::move(packets);
        result.identity = PacketIdentity::PresentationTime;
    } else if (m_cancelled || m_reading.cancelled) {
        result.outcome = ContainerScan::Outcome::Cancelled;
    }
    result.clockGoesBack = m_clockWentBack;
    return result;
}

// What the demuxer does to the packets besides reading them, where the scan can do the same.
bool MatroskaScanner::followsTheDemuxer()
{
    const AVCodecParameters* parameters = m_demuxer.videoParameters();
    m_delay = parameters->video_delay;
    // It takes the decode times of H.264 and HEVC from the order of the presentation times; of
    // other codecs whose pictures are held back, from guesses of its own.
    if (m_demuxer.unpacksVideo() || m_delay < 0 || m_delay > kMaxReorderDelay
        || (m_delay > 0 && parameters->codec_id != AV_CODEC_ID_H264 && parameters->codec_id != AV_CODEC_ID_HEVC))
        return false;
    // Every packet of a codec of pictures decoded on their own is a keyframe.
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(parameters->codec_id);
    m_intraOnly = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    // Of these the parsers keep nothing that changes their answers but the answer they gave last
    // (readFrame()): H.264's reads a picture's type and whether it is a keyframe before it looks
    // for the parameter sets it kept. The picture header reader keeps nothing it cannot compare.
    const AVCodecID codec = parameters->codec_id;
    m_splits = codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC || codec == AV_CODEC_ID_VP8
               || codec == AV_CODEC_ID_VP9;
    // It runs every video frame but HEVC's through the codec's parser, which marks keyframes
    // by the frames' own headers, whether the blocks say so or not.
    if (codec == AV_CODEC_ID_HEVC)
        return true;
    m_parser.reset(av_parser_init(parameters->codec_id));
    if (!m_parser)
        return true;
    m_parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    // Where pictures are held back, the parser's picture types change nothing.
    if (parameters->codec_id == AV_CODEC_ID_H264 && m_delay > 0 && parameters->extradata_size >= 7
        && parameters->extradata[0] == 1)
        m_h264LengthSize = (parameters->extradata[4] & 3) + 1;
    m_parsed.reset(avcodec_alloc_context3(nullptr));
    return m_parsed && avcodec_parameters_to_context(m_parsed.get(), parameters) >= 0;
}

// The element whose header is at at, which must end by end (its size may be unknown).
bool MatroskaScanner::element(qint64 at, qint64 end, Element& found)
{
    const qint64 available = std::min<qint64>(12, end - at);
    const uint8_t* p = available >= 2 ? m_window.bytes(at, available) : nullptr;
    const int idLength = p ? vintLength(p[0], 4) : 0;
    const int sizeLength = idLength > 0 && idLength < available ? vintLength(p[idLength], 8) : 0;
    if (sizeLength == 0 || idLength + sizeLength > available)
        return false;
    found.id = quint32(bigEndian(p, idLength));
    const quint64 size = bigEndian(p + idLength + 1, sizeLength - 1, p[idLength] & (0xff >> sizeLength));
    found.data = at + idLength + sizeLength;
    found.size = size == (quint64(1) << (7 * sizeLength)) - 1 ? -1 : qint64(size);
    return found.size <= end - found.data;
}

bool MatroskaScanner::unsignedValue(const Element& e, quint64& value)
{
    const uint8_t* p = e.size >= 0 && e.size <= 8 ? m_window.bytes(e.data, e.size) : nullptr;
    if (p)
        value = bigEndian(p, int(e.size));
    return p;
}

template <typename Read>
bool MatroskaScanner::children(const Element& parent, Read read)
{
    for (qint64 at = parent.data; at < parent.end();) {
        Element e;
        if (!element(at, parent.end(), e) || e.size < 0 || !read(e))
            return false;
        at = e.end();
    }
    return true;
}

// Reads the segment's elements from at on, and stops (stoppedAt()) at the first that begins at
// or after until, or at the first cluster where clusters is false.
bool MatroskaScanner::readSegment(qint64 at, qint64 until, bool clusters)
{
    while (at < m_segmentEnd && at < until) {
        Element e;
        if (!element(at, m_segmentEnd, e) || !reportProgress(at))
            return false;
        if (e.id == kCluster && !clusters)
            break;
        if (e.id == kCluster) {
            if (!readCluster(e, at))
                return false;
            continue;
        }
        // Only clusters may leave their size open: the end of anything else is not sure. The
        // time scale and the tracks must be known before the first block. A segment chained on
        // inside this one is not followed.
        const auto timeScale = [&](const Element& field) {
            return field.id != kTimecodeScale || (unsignedValue(field, m_timecodeScale) && m_timecodeScale > 0);
        };
        if (e.size < 0 || e.id == kEbmlHeader || e.id == kSegment
            || (e.id == kInfo && (m_clusterSeen || !children(e, timeScale)))
            || (e.id == kTracks && (m_videoTrack || !readTracks(e))))
            return false;
        at = e.end();
    }
    m_stoppedAt = at;
    return m_videoTrack != 0;
}

// The demuxer makes a stream of each track in the order the file lists them, then one of each
// attachment: the video stream's index is its track's place in the list. Where the streams do
// not follow the list (a track the demuxer left out), nothing is sure.
bool MatroskaScanner::readTracks(const Element& tracks)
{
    const AVFormatContext* context = m_demuxer.context();
    unsigned index = 0;
    const bool listed = children(tracks, [&](const Element& e) {
        quint64 type = 0;
        if (e.id != kTrackEntry)
            return true;
        if (!children(e, [&](const Element& field) { return field.id != kTrackType || unsignedValue(field, type); }))
            return false;
        const auto* kind =
            std::find_if(std::begin(kTrackTypes), std::end(kTrackTypes), [&](auto k) { return k.first == type; });
        const bool follows = kind != std::end(kTrackTypes) && index < context->nb_streams
            && context->streams[index]->codecpar->codec_type == kind->second;
        return follows && (int(index++) != m_demuxer.videoStream() || readVideoTrack(e));
    });
    for (; listed && index < context->nb_streams; ++index) {
        const AVStream* stream = context->streams[index];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT
            && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return false;
    }
    return listed && m_videoTrack != 0;
}

bool MatroskaScanner::readVideoTrack(const Element& track)
{
    return children(track, [&](const Element& e) {
        quint64 value = 0;
        const uint8_t* bytes = nullptr;
        switch (e.id) {
        case kTrackNumber:
            return unsignedValue(e, m_videoTrack);
        case kDefaultDuration:
            return unsignedValue(e, m_defaultDurationNs);
        case kCodecId:
            // Video for Windows in Matroska is timed by decode times, which the demuxer turns
            // into packets of its own.
            bytes = m_window.bytes(e.data, e.size);
            return bytes && (e.size < 5 || std::memcmp(bytes, "V_MS/", 5) != 0);
        case kCodecDelay:
        case kTrackOffset:
            // Times shifted.
            return unsignedValue(e, value) && value == 0;
        case kTrackTimecodeScale:
            // Times scaled: the demuxer divides the cluster's time by it in floating point. A
            // scale of 1 is written as the float 0x3f800000 or the double 0x3ff0000000000000.
            return unsignedValue(e, value) && (value == 0x3f800000 || value == 0x3ff0000000000000);
        case kContentEncodings:
            // Compressed or encrypted frames: their bytes are not the packet's.
            return false;
        }
        return true;
    }) && m_videoTrack != 0;
}

// Reads the cluster and sets next to where what follows it begins. A cluster of unknown size
// ends where the next element of the segment's own level begins.
bool MatroskaScanner::readCluster(const Element& cluster, qint64& next)
{
    if (!m_videoTrack)
        return false;
    m_clusterSeen = true;
    const qint64 end = cluster.size < 0 ? m_segmentEnd : cluster.end();
    qint64 clusterTime = -1;
    for (next = cluster.data; next < end;) {
        Element e;
        if (!element(next, end, e) || !reportProgress(next))
            return false;
        if (cluster.size < 0 && isTopLevel(e.id))
            return true;
        quint64 time = 0;
        if (e.size < 0 || (e.id == kTimecode && (!unsignedValue(e, time) || time > quint64(INT64_MAX / 2)))
            || (e.id == kSimpleBlock && !readBlock(e, clusterTime, -1, 0))
            || (e.id == kBlockGroup && !readBlockGroup(e, clusterTime)))
            return false;
        if (e.id == kTimecode)
            clusterTime = qint64(time);
        next = e.end();
    }
    return true;
}

bool MatroskaScanner::readBlockGroup(const Element& group, qint64 clusterTime)
{
    Element block;
    quint64 duration = 0;
    bool durationSaid = false;
    bool referring = false;
    const bool read = children(group, [&](const Element& e) {
        block = e.id == kBlock ? e : block;
        durationSaid = durationSaid || e.id == kBlockDuration;
        referring = referring || e.id == kReferenceBlock;
        return e.id != kBlockDuration || unsignedValue(e, duration);
    });
    // A duration of 0 said outright may be taken as said or as not said.
    if (!read || block.id != kBlock || (durationSaid && (duration == 0 || duration > quint64(INT64_MAX))))
        return false;
    return readBlock(block, clusterTime, referring ? 0 : 1, qint64(duration));
}

// keyframe: -1 where the block's flags say (a simple block), else 0 or 1. duration: 0 where
// the block does not say.
bool MatroskaScanner::readBlock(const Element& block, qint64 clusterTime, int keyframe, qint64 duration)
{
    const uint8_t* p = m_window.bytes(block.data, std::min<qint64>(block.size, 12));
    const int trackLength = p ? vintLength(p[0], 8) : 0;
    if (trackLength == 0 || block.size < trackLength + 3)
        return false;
    if (bigEndian(p + 1, trackLength - 1, p[0] & (0xff >> trackLength)) != m_videoTrack)
        return true;
    const int relativeTime = int16_t(quint16(p[trackLength] << 8 | p[trackLength + 1]));
    const uint8_t flags = p[trackLength + 2];
    const qint64 frameSize = block.size - trackLength - 3;
    // Laced frames share one block; a block before its cluster's time, or before time 0, has
    // no time from the demuxer.
    if ((flags & 0x06) || clusterTime < 0 || clusterTime + relativeTime < 0 || frameSize <= 0
        || frameSize > kLargestFrame)
        return false;

    PacketEntry entry;
    entry.pts = clusterTime + relativeTime;
    entry.key = timeKey(entry.pts);
    entry.position = block.data;
    entry.duration = duration > 0 ? duration : qint64(m_defaultDurationNs / m_timecodeScale);
    entry.keyframe = m_intraOnly || (keyframe < 0 ? bool(flags & 0x80) : keyframe == 1);
    uint8_t* frame = m_window.bytes(block.data + trackLength + 3, frameSize);
    if (!frame || entry.duration <= 0 || !readFrame(entry, frame, int(frameSize)))
        return false;
    m_packets.push_back(entry);
    // Packets known by their times cannot be told apart where the times go back: the rest of
    // the file is not read.
    m_clockWentBack = !m_demuxer.clockMayRestart() && clockGoesBackAt(m_packets, m_packets.size() - 1);
    return !m_clockWentBack;
}

// What the frame's headers say: its kind, and to the parser whether it is a keyframe.
bool MatroskaScanner::readFrame(PacketEntry& entry, uint8_t* frame, int size)
{
    entry.kind = m_headers.kindOf(frame, size);
    entry.shown = entry.kind != PictureKind::None;
    entry.keyframe = entry.keyframe && m_headers.beginsDecoding(frame, size);
    if (!m_parser)
        return true;
    // The H.264 parser costs as much as the rest of the scan: where its answer is plain, it is
    // not asked.
    // The parser's answer replaces the block's mark: a block marked key that holds no keyframe
    // is none to the demuxer. The mark counts only where the parser cannot tell.
    const bool marked = entry.keyframe;
    const H264Start start = m_h264LengthSize > 0 ? h264Start(frame, size, m_h264LengthSize) : H264Start::ForTheParser;
    entry.keyframe = m_intraOnly || start == H264Start::Idr;
    if (start != H264Start::ForTheParser)
        return true;
    // A parser that does not answer for a frame leaves the answer for the one before: at the
    // start of a part that is not known.
    constexpr int kUnanswered = -2;
    if (m_firstAnswer)
        m_parser->key_frame = m_parser->pict_type = kUnanswered;
    // Parsers may read a little past the end, where the demuxer's packets hold zeros.
    std::array<uint8_t, kPadding> after;
    std::memcpy(after.data(), frame + size, kPadding);
    std::memset(frame + size, 0, kPadding);
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(m_parser.get(), m_parsed.get(), &out, &outSize, frame, size, entry.pts, kNoTime, entry.position);
    std::memcpy(frame + size, after.data(), kPadding);
    if (m_firstAnswer)
        m_answerCarried = m_parser->key_frame == kUnanswered || m_parser->pict_type == kUnanswered;
    m_firstAnswer = false;
    entry.keyframe = m_intraOnly || m_parser->key_frame == 1
        || (m_parser->key_frame == -1 && m_parser->pict_type == AV_PICTURE_TYPE_I)
        || (m_parser->key_frame == -1 && m_parser->pict_type == AV_PICTURE_TYPE_NONE && marked);
    // A B-picture where none was expected makes the demuxer hold pictures back from then on.
    return outSize == size && !(m_delay == 0 && m_parser->pict_type == AV_PICTURE_TYPE_B);
}

// Where the bytes of a cluster's ID are followed by a cluster's header and by an element a
// cluster begins with; -1 where none begins in [from, until).
qint64 MatroskaScanner::firstClusterIn(qint64 from, qint64 until)
{
    constexpr uint8_t kId[] = {0x1F, 0x43, 0xB6, 0x75};
    constexpr quint32 kCrc32 = 0xBF;
    for (qint64 at = from; at < until;) {
        const qint64 count = std::min({m_reportBytes, until - at + 3, m_segmentEnd - at});
        const uint8_t* bytes = count >= qint64(sizeof kId) ? m_window.bytes(at, count) : nullptr;
        if (!bytes)
            return -1;
        const auto* found = static_cast<const uint8_t*>(memmem(bytes, size_t(count), kId, sizeof kId));
        if (!found) {
            at += count - qint64(sizeof kId) + 1;
            continue;
        }
        const qint64 position = at + (found - bytes);
        Element cluster, first;
        if (element(position, m_segmentEnd, cluster) && cluster.id == kCluster
            && element(cluster.data, cluster.size < 0 ? m_segmentEnd : cluster.end(), first)
            && (first.id == kTimecode || first.id == kCrc32))
            return position;
        at = position + 1;
    }
    return -1;
}

bool MatroskaScanner::reportProgress(qint64 position)
{
    if (position < m_nextReport)
        return true;
    m_nextReport = position + m_reportBytes;
    m_reading.read += position - m_reported;
    m_reported = position;
    m_cancelled = m_tells ? !m_reading.tell() : m_reading.cancelled.load();
    return !m_cancelled;
}

// A file read in parts, each on a core of its own. A part after the first begins at the first
// cluster that begins in it, and the part before reads up to there: where both found that
// cluster at one position, they walk the same elements. What a part starts from anew must be
// what the part before left: the picture header reader's state as it was, and the parser's
// first answer its own. The decode times follow the order of the presentation times over the
// whole file, and are set once the parts are joined. Where any of this is not sure: nullopt,
// and the file is read in one pass.
std::optional<ContainerScan> scanInParts(const QString& path, const Demuxer& demuxer, ScanReading& reading,
                                         qint64 readBytes, const MatroskaScanner& head, int count)
{
    std::vector<std::unique_ptr<MatroskaScanner>> parts;
    const size_t expected = expectedVideoPackets(demuxer, reading.fileSize, kLeastReservedBlock);
    for (int k = 0; k < count; ++k) {
        parts.push_back(std::make_unique<MatroskaScanner>(path, demuxer, reading, readBytes, k == 0));
        // The first part's list becomes the file's.
        if (!parts.back()->takeHead(head, k == 0 ? expected : expected / size_t(count) + 64))
            return std::nullopt;
    }
    const qint64 first = head.stoppedAt(), end = head.segmentEnd();
    std::vector<char> read(size_t(count), 0);
    const auto readPart = [&](int k) {
        const auto at = [&](int part) { return first + (end - first) * part / count; };
        read[size_t(k)] = parts[size_t(k)]->readPart(at(k), at(k + 1), k > 0);
    };
    readInParts(count, readPart, [&] { reading.tell(); }, reading.cancelled);
    MatroskaScanner& whole = *parts.front();
    std::vector<PacketEntry>& packets = whole.packets();
    if (reading.cancelled)
        return whole.result(false, {});
    const MatroskaScanner* before = nullptr;
    for (size_t k = 0; k < parts.size(); ++k) {
        MatroskaScanner& part = *parts[k];
        if (before && part.startedAt() < 0)
            continue;
        if (before) {
            if (part.startedAt() != before->stoppedAt() || !before->leavesItsStart() || !part.tookNothingFromBefore())
                return std::nullopt;
            const size_t seam = packets.size();
            packets.insert(packets.end(), part.packets().begin(), part.packets().end());
            countJoinedPart();
            // Each part saw its own clock go back; across a seam only the packets after it can.
            for (size_t i = seam; i < std::min(packets.size(), seam + kReorderWindow); ++i) {
                if (!demuxer.clockMayRestart() && clockGoesBackAt(packets, i)) {
                    ContainerScan wentBack;
                    wentBack.clockGoesBack = true;
                    return wentBack;
                }
            }
        }
        if (!read[k])
            return part.result(false, {});
        before = &part;
    }
    // Where the last part that found a cluster stopped short of the end, what follows was read
    // by none.
    if (before->stoppedAt() != head.segmentEnd())
        return std::nullopt;
    return whole.result(true, std::move(packets));
}

}  // namespace

ContainerScan scanMatroska(const QString& path, const Demuxer& demuxer, const OpenProgress& progress, qint64 readBytes,
                           int parts)
{
    if (demuxer.videoStream() < 0 || std::strncmp(demuxer.context()->iformat->name, "matroska", 8) != 0)
        return {};
    ScanReading reading(progress, QFileInfo(path).size());
    MatroskaScanner head(path, demuxer, reading, readBytes, true);
    if (!head.readHead())
        return head.result(false, {});
    if (parts <= 0)
        parts = partsToScan(reading.fileSize);
    if (parts > 1 && head.splits()) {
        if (auto scan = scanInParts(path, demuxer, reading, readBytes, head, parts))
            return std::move(*scan);
        if (reading.cancelled)
            return head.result(false, {});
        reading.read = 0;
    }
    // A list that grows copies itself and writes fresh pages each time.
    reserveOnLargePages(head.packets(), expectedVideoPackets(demuxer, reading.fileSize, kLeastReservedBlock));
    const bool read = head.readPart(head.stoppedAt(), head.segmentEnd(), false);
    return head.result(read, std::move(head.packets()));
}

}  // namespace mci
