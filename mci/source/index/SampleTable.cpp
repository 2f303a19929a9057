#include "SampleTable.h"

#include "Cores.h"
#include "PictureHeader.h"

#include <QByteArrayView>
#include <QFile>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <system_error>

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

struct TrackTables {
    std::vector<qint32> offsets;  // composition offset of each sample; empty without the table
    qint64 sampleCount = -1;
};

// The composition offsets of the track with this ID, unless the file's layout is one this
// reading does not follow (fragments, several edits, compressed headers, a table twice) or its
// sample count is not the demuxer's. No more is allocated than the demuxer's samples take.
std::optional<TrackTables> trackTables(QByteArrayView movie, int trackId, qint64 samples)
{
    if (child(movie, "mvex") || child(movie, "cmov"))
        return std::nullopt;
    std::optional<TrackTables> found;
    forEachBox(movie, [&](QByteArrayView type, QByteArrayView track) {
        if (type != "trak")
            return true;
        const auto header = child(track, "tkhd");
        if (!header || header->size() < 24)
            return true;
        const auto* h = reinterpret_cast<const uchar*>(header->data());
        if (int(be32(h + (h[0] == 1 ? 20 : 12))) != trackId)
            return true;
        if (const auto edits = child(track, "edts")) {
            const auto list = child(*edits, "elst");
            if (!list || list->size() < 8 || be32(reinterpret_cast<const uchar*>(list->data()) + 4) > 1)
                return false;
        }
        const auto media = child(track, "mdia");
        const auto info = media ? child(*media, "minf") : std::nullopt;
        const auto tables = info ? child(*info, "stbl") : std::nullopt;
        const auto sizes = tables ? child(*tables, "stsz") : std::nullopt;
        if (!sizes || sizes->size() < 12 || !tablesAreSingle(*tables))
            return false;
        TrackTables result;
        result.sampleCount = be32(reinterpret_cast<const uchar*>(sizes->data()) + 8);
        if (result.sampleCount != samples)
            return false;
        if (const auto composition = child(*tables, "ctts")) {
            const auto* c = reinterpret_cast<const uchar*>(composition->data());
            const qint64 entries = composition->size() >= 8 ? be32(c + 4) : -1;
            if (entries < 0 || composition->size() < 8 + entries * 8)
                return false;
            result.offsets.reserve(size_t(result.sampleCount));
            for (qint64 i = 0; i < entries && qint64(result.offsets.size()) <= result.sampleCount; ++i) {
                const qint64 count = be32(c + 8 + i * 8);
                const auto offset = qint32(be32(c + 12 + i * 8));
                result.offsets.insert(result.offsets.end(), size_t(std::min(count, result.sampleCount)), offset);
            }
        }
        found = std::move(result);
        return false;
    });
    return found;
}

// What the picture header of each sample says, read as the index pass reads it from the whole
// packet; and in AVI whether the chunk header before each sample is the one the index lists,
// since the demuxer numbers the chunks it meets and a damaged header would shift every later
// number. Reads only the few bytes the header reader looks at; false where a sample cannot be
// read, a chunk header is not the listed one, or the listed keyframe mark is not the demuxer's.
class SampleReader {
public:
    SampleReader(const QString& path, const Demuxer& demuxer, bool avi)
        : m_file(path), m_headers(demuxer.videoParameters()), m_codec(demuxer.videoParameters()->codec_id),
          m_avi(avi), m_stream(demuxer.videoStream())
    {
    }

    bool read(PacketEntry& packet, int size)
    {
        if (!m_file.isOpen()) {
            if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
                return false;
            m_fileSize = m_file.size();
        }
        qint64 data = packet.position;
        if (size < 0 || data < 0 || size > m_fileSize - data)
            return false;
        if (m_avi) {
            uchar head[8];
            if (!readAt(packet.position, head, 8) || !isChunkOf(head, size))
                return false;
            data += 8;
            packet.position = data;  // where the demuxer says its packet is
        }
        if (size == 0)
            return true;
        if (m_codec != AV_CODEC_ID_H264 && m_codec != AV_CODEC_ID_HEVC && m_codec != AV_CODEC_ID_VP8)
            return true;  // the reader tells nothing of other codecs' pictures
        // Grown, never shrunk: the bytes between the ones read are never looked at.
        if (m_bytes.size() < size_t(size) + AV_INPUT_BUFFER_PADDING_SIZE)
            m_bytes.resize(size_t(size) + AV_INPUT_BUFFER_PADDING_SIZE);
        if (!(m_headers.unitLengthSize() > 0 ? readUnitHeads(data, size) : readStart(data, size)))
            return false;
        packet.kind = m_kind;
        packet.shown = packet.shown && m_kind != PictureKind::None;
        return keyframeAsListed(packet.keyframe, size);
    }

private:
    // Whether the demuxer gives the sample's keyframe mark as the table lists it. It takes the
    // mark from the picture where it can read it (its parser), and the open compares only the
    // first packets and the last keyframe interval with it: a picture zeroed by a hole in a
    // download, or a recovery point coded as P, must not pass as the table says.
    bool keyframeAsListed(bool listed, int size) const
    {
        if (m_codec == AV_CODEC_ID_H264 && m_headers.unitLengthSize() > 0) {
            const H264Start start = h264Start(m_bytes.data(), size, m_headers.unitLengthSize());
            return start == H264Start::ForTheParser || listed == (start == H264Start::Idr);
        }
        if (m_codec == AV_CODEC_ID_H264)
            return !listed || m_kind == PictureKind::Intra;
        return listed == (m_kind == PictureKind::Intra);
    }

    // Samples of a few kB lie close together: their first bytes come from one large read ahead
    // (a system call for each sample would cost more than the rest of the open). Far from the
    // bytes read before (past a large picture, or where a piece of the table begins), or larger
    // than a read ahead, each is read on its own, and a read ahead starts again after it.
    bool readAt(qint64 position, void* into, qint64 count)
    {
        const qint64 windowEnd = m_windowStart + qint64(m_window.size());
        const qint64 gap = position - m_readEnd;
        m_readEnd = position + count;
        if (position >= m_windowStart && position + count <= windowEnd) {
            std::memcpy(into, m_window.data() + (position - m_windowStart), size_t(count));
            return true;
        }
        if (count > kReadAhead / 4 || gap < 0 || gap > kReadAhead / 4)
            return ::pread(m_file.handle(), into, size_t(count), off_t(position)) == count;
        m_window.resize(size_t(kReadAhead));
        const ssize_t read = ::pread(m_file.handle(), m_window.data(), m_window.size(), off_t(position));
        m_window.resize(size_t(std::max<ssize_t>(read, 0)));
        m_windowStart = position;
        if (read < count)
            return false;
        std::memcpy(into, m_window.data(), size_t(count));
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
        if (m_kind == PictureKind::Intra || m_kind == PictureKind::Reference || m_kind == PictureKind::Unreferenced
            || (m_codec == AV_CODEC_ID_VP8 && (size >= 3) == (start >= 3)) || start == size)
            return true;
        if (!readAt(data + start, m_bytes.data() + start, size - start))
            return false;
        m_kind = m_headers.kindOf(m_bytes.data(), size);
        return true;
    }

    static constexpr qint64 kReadAhead = 1 << 20;
    static constexpr int kUnitHead = 32;
    static constexpr int kStart = 512;
    QFile m_file;
    qint64 m_fileSize = 0;
    PictureHeaderReader m_headers;
    AVCodecID m_codec;
    bool m_avi;
    int m_stream;
    std::vector<uint8_t> m_bytes;
    std::vector<uint8_t> m_window;
    qint64 m_windowStart = 0;
    qint64 m_readEnd = 0;  // just past the bytes last asked for
    PictureKind m_kind = PictureKind::Unknown;
};

bool isMovie(const AVInputFormat* format)
{
    return std::strstr(format->name, "mp4") || std::strstr(format->name, "mov");
}

// Reading the first bytes of every sample is most of the open of a long file of small samples,
// and it goes as fast as memory copies: pieces of the table are read on the machine's cores,
// each by a reader of its own. HEVC's reader learns from the parameter sets it meets in the
// samples, so its samples are read in order, in one piece. From a slow disk that is the whole
// file: the calling thread tells progress as the pieces go, and the others stop when it is
// cancelled.
ContainerScan::Outcome readPictureHeads(ContainerScan& scan, const QString& path, const Demuxer& demuxer, bool avi,
                                        const OpenProgress& progress)
{
    constexpr size_t kFewestPerPiece = 64;
    constexpr size_t kToldEvery = 4096;  // samples
    const size_t count = scan.packets.size();
    std::atomic<bool> declined = false;  // by any piece, or cancelled: the others stop
    std::atomic<size_t> samplesRead = 0;  // in steps of kToldEvery
    bool cancelled = false;
    const auto tell = [&] {
        if (progress && !cancelled && !progress(double(samplesRead.load()) / double(std::max<size_t>(count, 1))))
            cancelled = declined = true;
    };
    const auto readPiece = [&](size_t begin, size_t end, bool tells) {
        SampleReader samples(path, demuxer, avi);
        for (size_t i = begin; i < end && !declined.load(std::memory_order_relaxed); ++i) {
            if (!samples.read(scan.packets[i], scan.sizes[i])) {
                declined = true;
                return false;
            }
            if ((i - begin + 1) % kToldEvery == 0) {
                samplesRead += kToldEvery;
                if (tells)
                    tell();
            }
        }
        return !declined;
    };
    const bool inOrder = demuxer.videoParameters()->codec_id == AV_CODEC_ID_HEVC;
    const size_t pieces = inOrder ? 1 : std::clamp<size_t>(count / kFewestPerPiece, 1, size_t(coresToUse()));
    tell();
    std::vector<std::future<bool>> others;
    bool ok = true;
    for (size_t p = 1; p < pieces; ++p) {
        const size_t begin = count * p / pieces, end = count * (p + 1) / pieces;
        try {
            others.push_back(std::async(std::launch::async, readPiece, begin, end, false));
        } catch (const std::system_error&) {
            ok = readPiece(begin, end, true) && ok;  // no thread to be had: read here
        }
    }
    ok = readPiece(0, count / pieces, true) && ok;
    for (auto& piece : others) {
        while (piece.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
            tell();
        ok = piece.get() && ok;  // an exception of the piece's thread comes out here
    }
    if (cancelled)
        return ContainerScan::Outcome::Cancelled;
    return ok ? ContainerScan::Outcome::Done : ContainerScan::Outcome::CannotScan;
}

}  // namespace

ContainerScan readSampleTable(const QString& path, const Demuxer& demuxer, const OpenProgress& progress)
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
    std::vector<qint32> offsets;
    if (movie) {
        const auto header = movieHeader(path);
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
    const ContainerScan::Outcome outcome = readPictureHeads(scan, path, demuxer, avi, progress);
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
