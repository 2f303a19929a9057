#include "SampleTable.h"

#include "PictureHeader.h"

#include <QByteArrayView>
#include <QFile>

#include <cstring>
#include <optional>

namespace mci {

namespace {

// A sample this small may be an access unit without a picture: only those are read.
constexpr int kSmallSample = 64;
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
            if (size - header > kLargestMovieHeader || !file.seek(at + header))
                return std::nullopt;
            QByteArray payload = file.read(size - header);
            return payload.size() == size - header ? std::optional(payload) : std::nullopt;
        }
        at += size;
    }
    return std::nullopt;
}

struct TrackTables {
    std::vector<qint32> offsets;  // composition offset of each sample; empty without the table
    qint64 sampleCount = -1;
};

// The composition offsets and sample count of the track with this ID, unless the file's
// layout is one this reading does not follow (fragments, several edits, compressed headers).
std::optional<TrackTables> trackTables(QByteArrayView movie, int trackId)
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
        if (!sizes || sizes->size() < 12)
            return false;
        TrackTables result;
        result.sampleCount = be32(reinterpret_cast<const uchar*>(sizes->data()) + 8);
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

// Small samples are read to tell whether they hold a picture at all.
void classifySmallSamples(const QString& path, const Demuxer& demuxer, std::vector<PacketEntry>& packets,
                          const std::vector<int>& sizes)
{
    QFile file(path);
    PictureHeaderReader headers(demuxer.videoParameters());
    for (size_t i = 0; i < packets.size(); ++i) {
        if (sizes[i] >= kSmallSample || !packets[i].shown)
            continue;
        if (!file.isOpen() && !file.open(QIODevice::ReadOnly))
            return;
        QByteArray bytes;
        if (file.seek(packets[i].position))
            bytes = file.read(sizes[i]);
        packets[i].kind = headers.kindOf(reinterpret_cast<const uint8_t*>(bytes.constData()), int(bytes.size()));
        packets[i].shown = packets[i].kind != PictureKind::None;
    }
}

bool isMovie(const AVInputFormat* format)
{
    return std::strstr(format->name, "mp4") || std::strstr(format->name, "mov");
}

}  // namespace

ContainerScan readSampleTable(const QString& path, const Demuxer& demuxer)
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
        const auto tables = header ? trackTables(*header, stream->id) : std::nullopt;
        if (!tables || tables->sampleCount != entries)
            return scan;
        offsets = tables->offsets;
        offsets.resize(size_t(entries), offsets.empty() ? 0 : offsets.back());
    }
    std::vector<int> sizes;
    scan.packets.reserve(size_t(entries));
    sizes.reserve(size_t(entries));
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
        sizes.push_back(sample->size);
    }
    classifySmallSamples(path, demuxer, scan.packets, sizes);
    scan.identity = PacketIdentity::DecodeTime;
    scan.outcome = ContainerScan::Outcome::Done;
    return scan;
}

}  // namespace mci
