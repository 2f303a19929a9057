#include "SampleTable.h"

#include "Cores.h"
#include "MappedFile.h"
#include "PictureHeader.h"

#include <QByteArrayView>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <initializer_list>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>

namespace mci {

namespace {

// Larger movie headers than this are damage (a 10-hour file at 60 frames a second needs 30 MB).
constexpr qint64 kLargestMovieHeader = qint64(256) << 20;

quint32 be32(const uchar* p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}

quint64 be64(const uchar* p)
{
    return quint64(be32(p)) << 32 | be32(p + 4);
}

// Calls visit(type, payload) for each box in bytes, until it answers false; false when a box
// does not fit.
template <typename Visit>
bool forEachBox(QByteArrayView bytes, Visit visit)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes.data());
    const qint64 size = bytes.size();
    for (qint64 at = 0; at + 8 <= size;) {
        qint64 boxSize = be32(data + at), header = 8;
        if (boxSize == 1) {
            if (at + 16 > size)
                return false;
            boxSize = qint64(be64(data + at + 8));
            header = 16;
        } else if (boxSize == 0) {
            boxSize = size - at;
        }
        if (boxSize < header || boxSize > size - at)
            return false;
        if (!visit(bytes.sliced(at + 4, 4), bytes.sliced(at + header, boxSize - header)))
            return true;
        at += boxSize;
    }
    return true;
}

// The payload of the first box of this type, or nothing.
std::optional<QByteArrayView> child(QByteArrayView bytes, const char* type)
{
    std::optional<QByteArrayView> found;
    forEachBox(bytes, [&](QByteArrayView boxType, QByteArrayView payload) {
        if (boxType != type)
            return true;
        found = payload;
        return false;
    });
    return found;
}

// How many boxes of this type bytes hold.
int childCount(QByteArrayView bytes, const char* type)
{
    int count = 0;
    forEachBox(bytes, [&](QByteArrayView boxType, QByteArrayView) {
        count += boxType == type;
        return true;
    });
    return count;
}

// Whether a sample table holds each of its tables once: where a table comes twice, the demuxer
// reads one of them and this reading might read the other.
bool tablesAreSingle(QByteArrayView tables)
{
    for (const char* type : {"stsd", "stts", "ctts", "stss", "stsc", "stsz", "stz2", "stco", "co64", "sdtp"}) {
        if (childCount(tables, type) > 1)
            return false;
    }
    return true;
}

quint32 be32At(QByteArrayView bytes, qint64 at)
{
    return be32(reinterpret_cast<const uchar*>(bytes.data()) + at);
}

// The payload of the box that the path of types leads to inside bytes.
std::optional<QByteArrayView> descend(QByteArrayView bytes, std::initializer_list<const char*> path)
{
    std::optional<QByteArrayView> at = bytes;
    for (const char* type : path) {
        if (at)
            at = child(*at, type);
    }
    return at;
}

// The first track of a movie header that `wanted` picks, where its layout is one these readings
// follow: no fragments, no compressed header, at most one edit, each sample table once.
template <typename Wanted>
std::optional<QByteArrayView> followedTrack(QByteArrayView movie, Wanted wanted)
{
    if (child(movie, "mvex") || child(movie, "cmov"))
        return std::nullopt;
    std::optional<QByteArrayView> track;
    forEachBox(movie, [&](QByteArrayView type, QByteArrayView payload) {
        if (type == "trak" && wanted(payload))
            track = payload;
        return !track;
    });
    if (!track)
        return std::nullopt;
    if (const auto edits = child(*track, "edts")) {
        const auto list = child(*edits, "elst");
        if (!list || list->size() < 8 || be32At(*list, 4) > 1)
            return std::nullopt;
    }
    const auto tables = descend(*track, {"mdia", "minf", "stbl"});
    if (!tables || !tablesAreSingle(*tables))
        return std::nullopt;
    return track;
}

// The 32-bit field after a header box's creation and modification times, 32 or 64 bits each by
// its version: a movie's or a media's time scale (mvhd, mdhd), a track's ID (tkhd); -1 when
// the box is missing or short.
qint64 fieldAfterTimes(std::optional<QByteArrayView> header)
{
    return header && header->size() >= 24 ? be32At(*header, header->front() == 1 ? 20 : 12) : -1;
}

qint64 trackIdOf(QByteArrayView track)
{
    return fieldAfterTimes(child(track, "tkhd"));
}

bool isVideoTrack(QByteArrayView track)
{
    const auto handler = descend(track, {"mdia", "hdlr"});
    return handler && handler->size() >= 12 && handler->sliced(8, 4) == "vide";
}

// The movie header box's payload, found by walking the file's top-level boxes.
std::optional<QByteArray> movieHeader(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (qint64 at = 0; at + 8 <= file.size();) {
        uchar head[16];
        if (!file.seek(at) || file.read(reinterpret_cast<char*>(head), 16) < 8)
            return std::nullopt;
        qint64 size = be32(head), header = 8;
        if (size == 1) {
            size = qint64(be64(head + 8));
            header = 16;
        } else if (size == 0) {
            size = file.size() - at;
        }
        if (size < header)
            return std::nullopt;
        if (std::memcmp(head + 4, "moov", 4) == 0) {
            const qint64 length = size - header;
            if (length > kLargestMovieHeader || length > file.size() - at - header || !file.seek(at + header))
                return std::nullopt;
            // Megabytes for a long file, written first by the read: on large pages (see
            // preferLargePages).
            QByteArray payload(length, Qt::Uninitialized);
            preferLargePages(payload.constData(), size_t(length));
            return file.read(payload.data(), length) == length ? std::optional(payload) : std::nullopt;
        }
        at += size;
    }
    return std::nullopt;
}

// The sum of the counts of a table of runs (count, value), or -1 where it does not fit its box.
qint64 samplesInRuns(QByteArrayView table)
{
    const qint64 runs = table.size() >= 8 ? be32At(table, 4) : -1;
    if (runs < 0 || runs > (table.size() - 8) / 8)
        return -1;
    qint64 samples = 0;
    for (qint64 run = 0; run < runs; ++run)
        samples += be32At(table, 8 + 8 * run);
    return samples;
}

// A video track's samples all lie within its one edit, if it has one: the first shown where the
// edit begins, the last ending where it ends or before, at the normal rate. libavformat's two
// readings of edit lists then give the same packets; a table that does not add up answers false.
bool editCutsNoPicture(QByteArrayView track, qint64 movieScale)
{
    const auto edits = child(track, "edts");
    if (!edits)
        return true;
    const auto list = child(*edits, "elst");
    const bool wide = list && !list->isEmpty() && list->front() == 1;
    if (!list || childCount(*edits, "elst") != 1 || list->size() < (wide ? 28 : 20) || be32At(*list, 4) != 1)
        return false;
    const auto* entry = reinterpret_cast<const uchar*>(list->data()) + 8;
    const qint64 editLength = wide ? qint64(be64(entry)) : be32(entry);
    const qint64 editStart = wide ? qint64(be64(entry + 8)) : qint32(be32(entry + 4));
    const qint64 trackScale = fieldAfterTimes(descend(track, {"mdia", "mdhd"}));
    const auto tables = descend(track, {"mdia", "minf", "stbl"});
    if (be32(entry + (wide ? 16 : 8)) != 0x10000 || editStart < 0 || editLength < 0 || !tables
        || !tablesAreSingle(*tables))
        return false;
    const auto durations = child(*tables, "stts"), offsets = child(*tables, "ctts"), sizes = child(*tables, "stsz");
    const qint64 samples = sizes && sizes->size() >= 12 ? be32At(*sizes, 8) : 0;
    if (trackScale <= 0 || samples <= 0 || !durations || samplesInRuns(*durations) != samples
        || (offsets && samplesInRuns(*offsets) != samples))
        return false;
    // Run by run of both tables: within one, each sample is shown a duration after the one
    // before. The demuxer reads composition offsets as signed, whatever the table's version.
    constexpr qint64 kLongest = qint64(1) << 62;
    qint64 decode = 0, first = kLongest, last = 0;
    qint64 run = 0, left = 0, duration = 0, offsetRun = 0, offsetLeft = offsets ? 0 : samples, offset = 0;
    for (qint64 sample = 0; sample < samples;) {
        for (; left == 0; ++run) {
            left = be32At(*durations, 8 + 8 * run);
            duration = be32At(*durations, 12 + 8 * run);
        }
        for (; offsets && offsetLeft == 0; ++offsetRun) {
            offsetLeft = be32At(*offsets, 8 + 8 * offsetRun);
            offset = qint32(be32At(*offsets, 12 + 8 * offsetRun));
        }
        const qint64 count = std::min(left, offsetLeft);
        if (duration > std::numeric_limits<qint32>::max()
            || count > (kLongest - decode) / std::max<qint64>(duration, 1))
            return false;
        first = std::min(first, decode + offset);
        decode += count * duration;
        last = std::max(last, decode + offset);
        sample += count;
        left -= count;
        offsetLeft -= count;
    }
    return first == editStart && last - editStart <= av_rescale(editLength, trackScale, movieScale);
}

// Whether no video track of a movie header (the moov box's payload) has an edit that cuts a
// picture away; false for a movie without video.
bool editsCutNoPicture(QByteArrayView movie)
{
    const qint64 movieScale = fieldAfterTimes(child(movie, "mvhd"));
    if (child(movie, "mvex") || child(movie, "cmov"))
        return false;
    bool video = false, cutsNothing = movieScale > 0;
    forEachBox(movie, [&](QByteArrayView type, QByteArrayView track) {
        if (type != "trak" || !isVideoTrack(track))
            return true;
        video = true;
        cutsNothing = cutsNothing && editCutsNoPicture(track, movieScale);
        return cutsNothing;
    });
    return video && cutsNothing;
}

struct TrackTables {
    std::vector<qint32> offsets;  // composition offset of each sample; empty without the table
    qint64 sampleCount = -1;
};

// The composition offsets of the track with this ID, unless the file's layout is one this
// reading does not follow (followedTrack()) or its sample count is not the demuxer's. No more is
// allocated than the demuxer's samples take.
std::optional<TrackTables> trackTables(QByteArrayView movie, int trackId, qint64 samples)
{
    const auto track = followedTrack(movie, [trackId](QByteArrayView t) { return trackIdOf(t) == trackId; });
    const auto tables = track ? descend(*track, {"mdia", "minf", "stbl"}) : std::nullopt;
    const auto sizes = tables ? child(*tables, "stsz") : std::nullopt;
    if (!sizes || sizes->size() < 12)
        return std::nullopt;
    TrackTables result;
    result.sampleCount = be32At(*sizes, 8);
    if (result.sampleCount != samples)
        return std::nullopt;
    if (const auto composition = child(*tables, "ctts")) {
        const qint64 entries = composition->size() >= 8 ? be32At(*composition, 4) : -1;
        if (entries < 0 || composition->size() < 8 + entries * 8)
            return std::nullopt;
        result.offsets.reserve(size_t(result.sampleCount));
        for (qint64 i = 0; i < entries && qint64(result.offsets.size()) <= result.sampleCount; ++i) {
            const qint64 count = be32At(*composition, 8 + i * 8);
            const auto offset = qint32(be32At(*composition, 12 + i * 8));
            result.offsets.insert(result.offsets.end(), size_t(std::min(count, result.sampleCount)), offset);
        }
    }
    return result;
}

// What the first bytes of a sample say, as far as the index asks.
struct SampleHead {
    bool read = false;  // false: the sample is empty, or of a codec whose pictures tell nothing here
    PictureKind kind = PictureKind::Unknown;
    H264Start start = H264Start::Slice;  // H.264 in length-prefixed units
    int parserKey = -1;  // VP9: 1 or 0 as the demuxer's parser reads the frame header, -1 for nothing
};

// The demuxer's parser reads the first bits of a VP9 frame header and marks the packet a
// keyframe where they say so, whatever the table lists (a damaged or zeroed sample reads as one).
// After the frame marker and the profile (with a reserved bit in profile 3) a frame that shows an
// existing one is none; else the frame type bit is clear for one. Past profile 3 it says nothing.
int vp9ParserKey(uint8_t first)
{
    int bit = 5;  // below the two bits of the frame marker
    const auto next = [&] { return (first >> bit--) & 1; };
    int profile = next();
    profile |= next() << 1;
    if (profile == 3)
        profile += next();
    if (profile > 3)
        return -1;
    if (next())
        return 0;
    return !next();
}

// The sample as its first bytes say: a picture or none, and a keyframe mark the demuxer gives as
// the table lists it. It takes the mark from the picture where it can read it (its parser), and
// the open compares only the first packets and the last keyframe interval with it: a picture
// zeroed by a hole in a download, or a recovery point coded as P, must not pass as the table
// says.
bool takeHead(PacketEntry& packet, const SampleHead& head, AVCodecID codec, bool lengthPrefixed)
{
    if (!head.read)
        return true;
    packet.kind = head.kind;
    packet.shown = packet.shown && head.kind != PictureKind::None;
    if (codec == AV_CODEC_ID_H264 && lengthPrefixed)
        return head.start == H264Start::ForTheParser || packet.keyframe == (head.start == H264Start::Idr);
    if (codec == AV_CODEC_ID_H264)
        return !packet.keyframe || head.kind == PictureKind::Intra;
    if (codec == AV_CODEC_ID_VP9)
        return head.parserKey == int(packet.keyframe);
    if (kindMarksKeyframes(codec) && kindIsKnown(head.kind))
        packet.keyframe = head.kind == PictureKind::Intra;
    return packet.keyframe == (head.kind == PictureKind::Intra);
}

// What the picture header of each sample says, read as the index pass reads it from the whole
// packet; and in AVI whether the chunk header before each sample is the one the index lists,
// since the demuxer numbers the chunks it meets and a damaged header would shift every later
// number. Reads only the few bytes the header reader looks at; false where a sample cannot be
// read or a chunk header is not the listed one.
class SampleReader {
public:
    // stream: the video stream's number, which AVI's chunk headers carry. Read only inside
    // readMapped().
    SampleReader(const MappedFile& file, const AVCodecParameters* parameters, int stream, bool avi)
        : m_file(file), m_headers(parameters), m_codec(parameters->codec_id), m_avi(avi), m_stream(stream)
    {
    }

    // In AVI position moves past the chunk header, to where the demuxer says its packet is.
    bool read(qint64& position, int size, SampleHead& head)
    {
        qint64 data = position;
        if (size < 0 || data < 0 || size > m_file.size() - data)
            return false;
        if (m_avi) {
            uchar chunk[8];
            if (!readAt(position, chunk, 8) || !isChunkOf(chunk, size))
                return false;
            data += 8;
            position = data;
        }
        if (size == 0)
            return true;
        if (m_codec == AV_CODEC_ID_VP9) {
            uchar first = 0;
            if (!readAt(data, &first, 1))
                return false;
            head.read = true;
            head.parserKey = vp9ParserKey(first);
            return true;
        }
        if (m_codec != AV_CODEC_ID_H264 && m_codec != AV_CODEC_ID_HEVC && m_codec != AV_CODEC_ID_VP8
            && !kindMarksKeyframes(m_codec))
            return true;  // the reader tells nothing of other codecs' pictures
        // Grown, never shrunk: the bytes between the ones read are never looked at.
        if (m_bytes.size() < size_t(size) + AV_INPUT_BUFFER_PADDING_SIZE)
            m_bytes.resize(size_t(size) + AV_INPUT_BUFFER_PADDING_SIZE);
        if (!(m_headers.unitLengthSize() > 0 ? readUnitHeads(data, size) : readStart(data, size)))
            return false;
        head.read = true;
        head.kind = m_kind;
        if (m_codec == AV_CODEC_ID_H264 && m_headers.unitLengthSize() > 0)
            head.start = h264Start(m_bytes.data(), size, m_headers.unitLengthSize());
        return true;
    }

    // Samples read from the mapping from now on, or each read on its own (see readHeads()).
    void readFromMapping(bool mapped) { m_mapped = mapped; }

private:
    bool readAt(qint64 position, void* into, qint64 count)
    {
        if (position < 0 || count > m_file.size() - position)
            return false;
        if (!m_mapped)
            return m_file.read(position, into, count);
        std::memcpy(into, m_file.data() + position, size_t(count));
        return true;
    }

    // "NNdc" or "NNdb" with this stream's number, and the listed size.
    bool isChunkOf(const uchar* head, int size) const
    {
        const auto digit = [](uchar c) { return c >= '0' && c <= '9' ? c - '0' : -1; };
        return digit(head[0]) * 10 + digit(head[1]) == m_stream && head[2] == 'd' && (head[3] == 'c' || head[3] == 'b')
            && qint64(head[4] | head[5] << 8 | head[6] << 16 | quint32(head[7]) << 24) == size;
    }

    // Units with length prefixes: each prefix and the first bytes of its unit, which is all the
    // header reader looks at.
    bool readUnitHeads(qint64 data, int size)
    {
        const int prefix = m_headers.unitLengthSize();
        for (qint64 at = 0; at + prefix <= size;) {
            const qint64 count = std::min<qint64>(prefix + kUnitHead, size - at);
            if (!readAt(data + at, m_bytes.data() + at, count))
                return false;
            qint64 length = 0;
            for (int i = 0; i < prefix; ++i)
                length = length << 8 | m_bytes[size_t(at + i)];
            if (length <= 0)
                break;
            at += prefix + length;
        }
        m_kind = m_headers.kindOf(m_bytes.data(), size);
        return true;
    }

    // Start codes: the first bytes tell a picture's kind; where they do not, the whole sample.
    bool readStart(qint64 data, int size)
    {
        const int start = std::min(size, kStart);
        if (!readAt(data, m_bytes.data(), start))
            return false;
        m_kind = m_headers.kindOf(m_bytes.data(), start);
        if (kindIsKnown(m_kind)
            || (m_codec == AV_CODEC_ID_VP8 && (size >= 3) == (start >= 3)) || start == size)
            return true;
        if (!readAt(data + start, m_bytes.data() + start, size - start))
            return false;
        m_kind = m_headers.kindOf(m_bytes.data(), size);
        return true;
    }

    static constexpr int kUnitHead = 32;
    static constexpr int kStart = 512;
    const MappedFile& m_file;
    PictureHeaderReader m_headers;
    AVCodecID m_codec;
    bool m_avi;
    int m_stream;
    std::vector<uint8_t> m_bytes;
    bool m_mapped = true;
    PictureKind m_kind = PictureKind::Unknown;
};

bool isMovie(const AVInputFormat* format)
{
    return std::strstr(format->name, "mp4") || std::strstr(format->name, "mov");
}

// The samples a reading takes, and what their first bytes say, side by side.
struct SampleHeads {
    std::vector<qint64> positions;  // in AVI moved past each chunk header by the reading
    std::vector<int> sizes;
    std::vector<SampleHead> heads;
    bool lengthPrefixed = false;
};

// Where samples are read from, and how their pictures are coded.
struct SampleSource {
    const QString& path;
    const AVCodecParameters* parameters;
    int stream;
    bool avi;
};

// Reading the first bytes of every sample is most of the open of a long file of small samples,
// and it goes as fast as memory answers: the bytes are read where the file is mapped, and pieces
// of the table on the machine's cores, each by a reader of its own. HEVC's reader learns from
// the parameter sets it meets in the samples, so its samples are read in order, in one piece.
// From a slow disk that is the whole file: tell is asked on the calling thread as the pieces go,
// and where it answers false, or a piece fails, or the caller sets stop, they all stop. False
// unless every sample was read.
bool readHeads(SampleHeads& samples, const SampleSource& source, std::atomic<bool>& stop,
               std::atomic<size_t>& samplesRead, const std::function<bool()>& tell)
{
    constexpr size_t kFewestPerPiece = 64;
    constexpr size_t kToldEvery = 4096;  // samples
    constexpr size_t kStretch = 1024, kAhead = 8;
    constexpr qint64 kSmallSample = 64 << 10;
    const size_t count = samples.sizes.size();
    samples.heads.assign(count, {});
    samples.lengthPrefixed = PictureHeaderReader(source.parameters).unitLengthSize() > 0;
    const auto told = [&] {
        if (tell && !tell())
            stop = true;
    };
    const auto readPiece = [&](size_t begin, size_t end, bool tells) {
        // A mapping of its own: the kernel reads ahead of each reader apart. (Where the file
        // cannot be mapped, every head is read on its own.)
        MappedFile file(source.path);
        if (!file.isOpen())
            return stop = true, false;
        SampleReader reader(file, source.parameters, source.stream, source.avi);
        // The samples in stretches. Small ones are read from the mapping, a stretch mapped in at
        // once (a fault for each few would cost more than reading their heads). Large ones are
        // read each on its own: the few pages of each that are read would be mapped in one
        // fault at a time, and from a slow disk each fault waits for its reading.
        const bool read = readMapped([&] {
            for (size_t i = begin; i < end && !stop.load(std::memory_order_relaxed); ++i) {
                if ((i - begin) % kStretch == 0) {
                    const size_t last = std::min(i + kStretch, end) - 1;
                    // (A damaged table's positions lie anywhere.)
                    const auto at = [&](size_t k) { return std::clamp<qint64>(samples.positions[k], 0, file.size()); };
                    const qint64 from = at(i), until = at(last) + std::max(samples.sizes[last], 0);
                    const bool small = file.isMapped() && until - from <= qint64(last - i + 1) * kSmallSample;
                    file.letGoBefore(from);
                    reader.readFromMapping(small);
                    if (small && !file.mapIn(from, until))
                        return false;
                }
                // The next heads from memory while this one is read.
                if (const qint64 ahead = i + kAhead < end ? samples.positions[i + kAhead] : -1;
                    file.isMapped() && ahead >= 0 && ahead < file.size())
                    __builtin_prefetch(file.data() + ahead);
                if (!reader.read(samples.positions[i], samples.sizes[i], samples.heads[i]))
                    return false;
                if ((i - begin + 1) % kToldEvery == 0) {
                    samplesRead += kToldEvery;
                    if (tells)
                        told();
                }
            }
            return true;
        });
        if (!read)
            stop = true;
        return read && !stop;
    };
    const bool inOrder = source.parameters->codec_id == AV_CODEC_ID_HEVC;
    const size_t pieces = inOrder ? 1 : std::clamp<size_t>(count / kFewestPerPiece, 1, size_t(coresToUse()));
    told();
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<char> read(pieces, 0);
    const auto readPart = [&](int p) {
        const size_t piece = size_t(p);
        read[piece] = readPiece(count * piece / pieces, count * (piece + 1) / pieces,
                                std::this_thread::get_id() == caller);
    };
    readInParts(int(pieces), readPart, told, stop);
    return std::all_of(read.begin(), read.end(), [](char pieceRead) { return pieceRead; }) && !stop;
}

// Each packet as its sample's first bytes say; false where one is not as the table lists it.
bool takeHeads(ContainerScan& scan, const SampleHeads& samples, AVCodecID codec)
{
    for (size_t i = 0; i < scan.packets.size(); ++i) {
        scan.packets[i].position = samples.positions[i];
        if (!takeHead(scan.packets[i], samples.heads[i], codec, samples.lengthPrefixed))
            return false;
    }
    return true;
}

ContainerScan::Outcome readPictureHeads(ContainerScan& scan, const QString& path, const Demuxer& demuxer, bool avi,
                                        const OpenProgress& progress)
{
    SampleHeads samples;
    samples.sizes = scan.sizes;
    samples.positions.reserve(scan.packets.size());
    for (const PacketEntry& packet : scan.packets)
        samples.positions.push_back(packet.position);
    std::atomic<bool> stop = false;
    std::atomic<size_t> samplesRead = 0;
    bool cancelled = false;
    const auto tell = [&] {
        const double fraction = double(samplesRead.load()) / double(std::max<size_t>(samples.sizes.size(), 1));
        cancelled = cancelled || (progress && !progress(fraction));
        return !cancelled;
    };
    const AVCodecParameters* parameters = demuxer.videoParameters();
    const bool read = readHeads(samples, {path, parameters, demuxer.videoStream(), avi}, stop, samplesRead, tell);
    if (cancelled)
        return ContainerScan::Outcome::Cancelled;
    return read && takeHeads(scan, samples, parameters->codec_id) ? ContainerScan::Outcome::Done
                                                                   : ContainerScan::Outcome::CannotScan;
}

// The first video track of a movie header, where its samples can be placed from its tables
// alone: H.264 or HEVC in length-prefixed units under one sample description, sizes listed one
// by one, and each chunk's samples side by side from its offset.
struct TrackSamples {
    int trackId = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
    QByteArray codecHeaders;  // the configuration box's payload, which the demuxer takes for extradata
    SampleHeads samples;
};

bool placeSamples(SampleHeads& samples, QByteArrayView sizes, QByteArrayView offsets, int offsetBytes,
                  QByteArrayView runs)
{
    // Every count is one of entries its box holds: nothing is sized beyond the bytes read.
    const qint64 count = be32At(sizes, 8), chunks = be32At(offsets, 4), runCount = be32At(runs, 4);
    if (count > (sizes.size() - 12) / 4 || chunks > (offsets.size() - 8) / offsetBytes
        || runCount > (runs.size() - 8) / 12)
        return false;
    samples.sizes.resize(size_t(count));
    samples.positions.resize(size_t(count));
    for (qint64 i = 0; i < count; ++i)
        samples.sizes[size_t(i)] = int(be32At(sizes, 12 + 4 * i));  // damage turns negative: no read takes it
    qint64 sample = 0;
    for (qint64 run = 0; run < runCount && sample < count; ++run) {
        const qint64 first = be32At(runs, 8 + 12 * run), perChunk = be32At(runs, 12 + 12 * run);
        const qint64 next = run + 1 < runCount ? be32At(runs, 20 + 12 * run) : chunks + 1;
        if ((run == 0 && first != 1) || next <= first || next > chunks + 1)
            return false;
        for (qint64 chunk = first; chunk < next && sample < count; ++chunk) {
            const auto* entry = reinterpret_cast<const uchar*>(offsets.data()) + 8 + offsetBytes * (chunk - 1);
            qint64 at = offsetBytes == 4 ? be32(entry) : qint64(be64(entry));
            for (qint64 k = 0; k < perChunk && sample < count; ++k, ++sample) {
                samples.positions[size_t(sample)] = at;
                at += samples.sizes[size_t(sample)];
            }
        }
    }
    return sample == count;
}

std::optional<TrackSamples> firstVideoTrack(QByteArrayView movie)
{
    const auto track = followedTrack(movie, isVideoTrack);
    const auto tables = track ? descend(*track, {"mdia", "minf", "stbl"}) : std::nullopt;
    if (!tables || trackIdOf(*track) < 0)
        return std::nullopt;
    TrackSamples found;
    found.trackId = int(trackIdOf(*track));
    // A visual sample entry holds 78 bytes of its own before its boxes.
    constexpr qint64 kVisualEntry = 8 + 78;
    const auto descriptions = child(*tables, "stsd");
    if (!descriptions || descriptions->size() < 8 + kVisualEntry || be32At(*descriptions, 4) != 1)
        return std::nullopt;
    const QByteArrayView entry = descriptions->sliced(8);
    const qint64 entrySize = be32At(entry, 0);
    const QByteArrayView format = entry.sliced(4, 4);
    const bool h264 = format == "avc1" || format == "avc3", hevc = format == "hvc1" || format == "hev1";
    if (entrySize < kVisualEntry || entrySize > entry.size() || !(h264 || hevc))
        return std::nullopt;
    found.codec = h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
    const auto configuration = child(entry.sliced(kVisualEntry, entrySize - kVisualEntry), h264 ? "avcC" : "hvcC");
    const auto sizes = child(*tables, "stsz"), runs = child(*tables, "stsc");
    const auto offsets32 = child(*tables, "stco"), offsets64 = child(*tables, "co64");
    const auto offsets = offsets32 ? offsets32 : offsets64;
    if (!configuration || !sizes || sizes->size() < 12 || be32At(*sizes, 4) != 0 || !runs || runs->size() < 8
        || !offsets || offsets->size() < 8 || (offsets32 && offsets64))
        return std::nullopt;
    found.codecHeaders = configuration->toByteArray();
    if (!placeSamples(found.samples, *sizes, *offsets, offsets32 ? 4 : 8, *runs))
        return std::nullopt;
    return found;
}

// The demuxer lists the same samples at the same places as the track, under the same headers.
bool sameSamples(const TrackSamples& track, const AVStream* stream, const AVCodecParameters* parameters,
                 const ContainerScan& scan)
{
    const QByteArrayView headers(parameters->extradata, parameters->extradata ? parameters->extradata_size : 0);
    if (track.trackId != stream->id || parameters->codec_id != track.codec || headers != track.codecHeaders
        || track.samples.sizes != scan.sizes)
        return false;
    for (size_t i = 0; i < scan.packets.size(); ++i) {
        if (track.samples.positions[i] != scan.packets[i].position)
            return false;
    }
    return true;
}

}  // namespace

struct SampleHeadsAhead::Found {
    QByteArray movie;  // the movie header's payload
    TrackSamples track;
};

struct SampleHeadsAhead::Reading {
    std::atomic<bool> stop = false;
    std::atomic<size_t> samplesRead = 0, count = 0;
    // The track, written before the reading tells it is placed; its heads are read after.
    std::unique_ptr<Found> found;
    std::promise<const Found*> placing;
    std::future<const Found*> placed = placing.get_future();
    // Last, so that it is destroyed first: that waits for the reading, which writes the above.
    std::future<bool> headsRead;
};

namespace {

// Places the samples of the movie's first video track, tells the open so, then reads their heads.
bool readAhead(const QString& path, std::optional<QByteArray> header, SampleHeadsAhead::Reading* reading)
{
    try {
        auto track = header ? firstVideoTrack(*header) : std::nullopt;
        if (track && !reading->stop) {
            reading->found.reset(new SampleHeadsAhead::Found{std::move(*header), std::move(*track)});
            reading->count = reading->found->track.samples.sizes.size();
        }
    } catch (...) {
        reading->placing.set_value(nullptr);  // the open reads the samples itself
        throw;
    }
    reading->placing.set_value(reading->found.get());
    if (!reading->found)
        return false;
    TrackSamples& track = reading->found->track;
    const std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> parameters(
        avcodec_parameters_alloc(), [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
    if (!parameters)
        return false;
    const QByteArray& headers = track.codecHeaders;
    parameters->extradata = static_cast<uint8_t*>(av_mallocz(size_t(headers.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!parameters->extradata)
        return false;
    std::memcpy(parameters->extradata, headers.constData(), size_t(headers.size()));
    parameters->extradata_size = int(headers.size());
    parameters->codec_id = track.codec;
    const SampleSource source{path, parameters.get(), -1, false};
    return readHeads(track.samples, source, reading->stop, reading->samplesRead, {});
}

// Waits for what the reading gives, asking progress on the calling thread; a cancel stops the
// reading. Whatever ends the reading without an answer (short of memory, say) counts as none.
template <typename T>
T waitTelling(std::future<T>& answer, SampleHeadsAhead& ahead, const SampleHeadsAhead::Reading& reading,
              const OpenProgress& progress, bool* cancelled)
{
    const auto tell = [&] {
        const double fraction = double(reading.samplesRead) / double(std::max<size_t>(reading.count, 1));
        if (!*cancelled && progress && !progress(fraction)) {
            *cancelled = true;
            ahead.stop();
        }
    };
    tell();
    while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        tell();
    try {
        return answer.get();
    } catch (const std::exception&) {
        return T{};
    }
}

}  // namespace

SampleHeadsAhead::SampleHeadsAhead(const QString& path)
{
    // Not waiting for a writer where the path names a pipe: the open refuses anything but a file.
    const int file = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0)
        return;
    struct stat status{};
    char head[8];
    const bool read = ::fstat(file, &status) == 0 && S_ISREG(status.st_mode) && ::pread(file, head, 8, 0) == 8;
    ::close(file);
    const QByteArrayView type(head + 4, 4);
    const bool movie = type == "ftyp" || type == "moov" || type == "mdat" || type == "wide" || type == "free"
                    || type == "skip";
    if (!read || !movie)
        return;
    // Read here, not on the reading's thread: the demuxer's open waits for what its edit lists say.
    auto header = movieHeader(path);
    m_editLists = header && editsCutNoPicture(*header) ? EditLists::Simple : EditLists::Full;
    m_reading = std::make_unique<Reading>();
    try {
        m_reading->headsRead = std::async(std::launch::async, readAhead, path, std::move(header), m_reading.get());
    } catch (const std::system_error&) {
        m_reading.reset();  // no thread to be had: the table's reading reads the samples itself
    }
}

SampleHeadsAhead::~SampleHeadsAhead()
{
    stop();
}

void SampleHeadsAhead::stop()
{
    if (m_reading)
        m_reading->stop = true;
}

const SampleHeadsAhead::Found* SampleHeadsAhead::placed(const OpenProgress& progress, bool* cancelled)
{
    if (!m_reading || !m_reading->placed.valid())
        return m_placed;
    m_placed = waitTelling(m_reading->placed, *this, *m_reading, progress, cancelled);
    return *cancelled ? nullptr : m_placed;
}

bool SampleHeadsAhead::headsRead(const OpenProgress& progress, bool* cancelled)
{
    if (m_reading && m_reading->headsRead.valid())
        m_headsRead = waitTelling(m_reading->headsRead, *this, *m_reading, progress, cancelled);
    return m_headsRead && !*cancelled;
}

ContainerScan readSampleTable(const QString& path, const Demuxer& demuxer, const OpenProgress& progress,
                              SampleHeadsAhead* ahead)
{
    ContainerScan scan;
    const AVStream* stream = demuxer.stream(demuxer.videoStream());
    const AVInputFormat* format = demuxer.context()->iformat;
    const bool movie = isMovie(format), avi = std::strcmp(format->name, "avi") == 0;
    const AVCodecID codec = demuxer.videoParameters()->codec_id;
    // MPEG in AVI is ordered by its pictures' kinds, and MPEG-4 Part 2 may be packed: only a
    // reading of every picture tells.
    const bool mpeg = codec == AV_CODEC_ID_MPEG1VIDEO || codec == AV_CODEC_ID_MPEG2VIDEO || codec == AV_CODEC_ID_MPEG4;
    const int entries = avformat_index_get_entries_count(stream);
    if (!(movie || avi) || mpeg || orderIsInThePictures(demuxer) || entries <= 0 || entries != stream->nb_frames)
        return scan;
    // The samples read ahead are placed long before their heads are read: the table is read and
    // compared with them meanwhile.
    const SampleHeadsAhead::Found* placed = nullptr;
    bool cancelled = false;
    if (movie && ahead) {
        placed = ahead->placed(progress, &cancelled);
        if (cancelled) {
            scan.outcome = ContainerScan::Outcome::Cancelled;
            return scan;
        }
    }
    std::vector<qint32> offsets;
    if (movie) {
        const auto header = placed ? std::optional(placed->movie) : movieHeader(path);
        auto tables = header ? trackTables(*header, stream->id, entries) : std::nullopt;
        if (!tables)
            return scan;
        offsets = std::move(tables->offsets);
        offsets.resize(size_t(entries), offsets.empty() ? 0 : offsets.back());
    }
    reservePackets(scan, size_t(entries));
    scan.sizes.reserve(size_t(entries));
    for (int i = 0; i < entries; ++i) {
        const AVIndexEntry* sample = avformat_index_get_entry(const_cast<AVStream*>(stream), i);
        PacketEntry entry;
        entry.dts = sample->timestamp;
        entry.pts = movie ? sample->timestamp + offsets[size_t(i)] : sample->timestamp;
        entry.key = timeKey(entry.dts);
        entry.position = sample->pos;
        entry.keyframe = sample->flags & AVINDEX_KEYFRAME;
        entry.shown = sample->size > 0 && !(sample->flags & AVINDEX_DISCARD_FRAME);
        if (!scan.packets.empty())
            scan.packets.back().duration = entry.dts - scan.packets.back().dts;
        scan.packets.push_back(entry);
        scan.sizes.push_back(sample->size);
    }
    ContainerScan::Outcome outcome = ContainerScan::Outcome::CannotScan;
    const bool same = placed && sameSamples(placed->track, stream, demuxer.videoParameters(), scan);
    const bool read = same && ahead->headsRead(progress, &cancelled);
    if (cancelled) {
        scan = {};
        scan.outcome = ContainerScan::Outcome::Cancelled;
        return scan;
    }
    if (read) {
        ahead->m_taken = true;
        if (takeHeads(scan, placed->track.samples, codec))
            outcome = ContainerScan::Outcome::Done;
    } else {
        if (ahead)
            ahead->stop();  // it reads other samples than the demuxer lists, or could not read them
        outcome = readPictureHeads(scan, path, demuxer, avi, progress);
    }
    if (outcome != ContainerScan::Outcome::Done) {
        ContainerScan none;
        none.outcome = outcome;
        return none;
    }
    scan.identity = PacketIdentity::DecodeTime;
    scan.outcome = ContainerScan::Outcome::Done;
    return scan;
}

}  // namespace mci
