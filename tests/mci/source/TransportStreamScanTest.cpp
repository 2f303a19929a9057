// The scan of a transport stream's own structure against the index pass through the demuxer:
// the same packets, field for field, or a scan that says it cannot be sure.
#include "TransportStreamScan.h"

#include "Demuxer.h"
#include "FrameIndex.h"
#include "MediaGenerator.h"
#include "PictureHeader.h"
#include "SourceTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

using fixtures::ClipKind;
using mci::ContainerScan;
using mci::PacketEntry;

namespace {

ContainerScan scan(const QString& path, const mci::OpenProgress& progress = {},
                   size_t batchBytes = mci::kPesBatchBytes, int parts = 1)
{
    auto demuxer = sourcetest::openDemuxer(path);
    return demuxer ? mci::scanTransportStream(path, *demuxer, progress, batchBytes, parts) : ContainerScan{};
}

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString written(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    QFile file(dir.filePath(name));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName() : QString();
}

QString h264Clip(const QTemporaryDir& dir, const QString& name, const char* x264, bool withAudio)
{
    fixtures::VideoSpec clipSpec;
    clipSpec.path = dir.filePath(name);
    clipSpec.container = fixtures::Container::Ts;
    clipSpec.codec = fixtures::VideoCodec::H264;
    clipSpec.frames = 90;
    clipSpec.withAudio = withAudio;
    if (x264)
        clipSpec.encoderOptions = {{"x264-params", x264}};
    return fixtures::writeVideo(clipSpec, nullptr) ? clipSpec.path : QString();
}

// Fields repeated as random says: in MPEG-2 the sequence's progressive flag, each picture's
// repeat_first_field, top_field_first and progressive_frame; in H.264 each picture structure
// (0..8) in the timing messages of a stream without buffering parameters.
QByteArray withRepeats(QByteArray bytes, bool h264)
{
    std::mt19937 random(3);
    const QByteArray marker = h264 ? QByteArray("\0\0\1\6\1", 5) : QByteArray("\0\0\1\xb5", 4);
    for (qsizetype at = bytes.indexOf(marker); at >= 0; at = bytes.indexOf(marker, at + 1)) {
        const auto flip = [&](qsizetype i, int bit) { bytes[i] = char(bytes[i] ^ (random() % 2 ? bit : 0)); };
        if (h264) {
            bytes[at + 6] = char((random() % 9) << 4 | (bytes[at + 6] & 0x0f));
        } else if (uchar(bytes[at + 4]) >> 4 == 1) {
            flip(at + 5, 0x08);
        } else if (uchar(bytes[at + 4]) >> 4 == 8) {
            flip(at + 7, 0x02);
            flip(at + 7, 0x80);
            flip(at + 8, 0x80);
        }
    }
    return bytes;
}

// Where each video PES packet of a 188-byte transport stream is: its first and last transport
// packets, its header, and the payload bytes it carries.
struct Pes {
    qsizetype packet, header, payload, last;
};
std::vector<Pes> videoPes(const QByteArray& ts)
{
    std::vector<Pes> pes;
    for (qsizetype at = 0; at + 188 <= ts.size(); at += 188) {
        const uchar* p = reinterpret_cast<const uchar*>(ts.constData() + at);
        const qsizetype offset = p[3] & 0x20 ? 5 + p[4] : 4;
        if (((p[1] & 0x1f) << 8 | p[2]) != 0x100 || offset >= 188)
            continue;
        if (p[1] & 0x40)
            pes.push_back({at, at + offset, -9 - p[offset + 8], at});
        if (!pes.empty())
            pes.back().payload += 188 - offset, pes.back().last = at;
    }
    return pes;
}

qint64 stampAt(const QByteArray& bytes, qsizetype at)
{
    const auto* b = reinterpret_cast<const uchar*>(bytes.constData() + at);
    return qint64(b[0] >> 1 & 7) << 30 | qint64(b[1]) << 22 | qint64(b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1;
}
void setStamp(QByteArray& bytes, qsizetype at, qint64 v)
{
    const char stamp[] = {char((bytes[at] & 0xf0) | (v >> 29 & 0x0e) | 1), char(v >> 22), char(v >> 14 | 1),
                          char(v >> 7), char(v << 1 | 1)};
    bytes.replace(at, 5, stamp, 5);
}

// Timestamps moved by 33-bit arithmetic: past the wrap a second in, or from near the wrap back
// to where they were halfway through (as a long recording that passed it would be cut).
QByteArray wrapped(QByteArray bytes, bool jumpBack)
{
    constexpr qint64 kWrap = qint64(1) << 33;
    const std::vector<Pes> pes = videoPes(bytes);
    for (size_t k = 0; k < pes.size(); ++k) {
        const qint64 offset = !jumpBack ? kWrap - 90000 : k < pes.size() / 2 ? kWrap - 100 * 90000 : 0;
        const qsizetype h = pes[k].header;
        for (int i = 0; i < (uchar(bytes[h + 7]) >> 6 == 3 ? 2 : 1); ++i)
            setStamp(bytes, h + 9 + 5 * i, (stampAt(bytes, h + 9 + 5 * i) + offset) % kWrap);
    }
    return bytes;
}

// Cut before the second picture, a reference picture, whose slice header is damaged after its
// kind: the demuxer's parser gives up on it, and has read no picture yet.
QByteArray damagedFirstSlice(const QByteArray& bytes)
{
    QByteArray cut = bytes.mid(videoPes(bytes)[1].packet);
    const qsizetype slice = cut.indexOf(QByteArray("\0\0\1\x41", 4));
    return cut.replace(slice + 5, 8, QByteArray(8, '\xff'));
}

// Every PES packet that fits says its length; or every other starts behind a 12-byte RTP header
// whose second byte looks like a sync byte.
QByteArray withLengths(QByteArray bytes)
{
    for (const Pes& pes : videoPes(bytes)) {
        const qsizetype length = pes.payload + 3 + uchar(bytes[pes.header + 8]);
        bytes[pes.header + 4] = char(length < 65536 ? length >> 8 : 0);
        bytes[pes.header + 5] = char(length < 65536 ? length : 0);
    }
    return bytes;
}
QByteArray withRtpHeaders(QByteArray bytes)
{
    const std::vector<Pes> pes = videoPes(bytes);
    for (int k = int(pes.size()) - 1; k > 0; k -= 2)
        bytes.insert(pes[size_t(k)].packet, QByteArray("\x80\x47\x1f\xff\0\0\0\0\0\0\0\0", 12));
    return bytes;
}

struct ScanCase {
    std::string name;
    QString path;
    bool mustScan;  // damaged copies may be declined
};

std::vector<ScanCase> scanCases(const QTemporaryDir& dir)
{
    const QByteArray m2ts = bytesOf(fixtures::clip(ClipKind::PyramidM2ts));
    const QByteArray mpeg2 = bytesOf(fixtures::clip(ClipKind::Mpeg2Ts));
    const QString picStruct = h264Clip(dir, "pic-struct.ts", "pic-struct=1", false);
    std::vector<ScanCase> cases = {
        {"Mpeg2Ts", fixtures::clip(ClipKind::Mpeg2Ts), true},
        {"CutTs", fixtures::clip(ClipKind::CutTs), true},
        {"JoinedTs", fixtures::clip(ClipKind::JoinedTs), true},
        {"TruncatedTs", fixtures::clip(ClipKind::TruncatedTs), true},
        {"InterlacedTs", fixtures::clip(ClipKind::InterlacedTs), true},
        {"PyramidM2ts", fixtures::clip(ClipKind::PyramidM2ts), true},
        {"WithSound", h264Clip(dir, "sound.ts", nullptr, true), true},
        // Buffering and picture timing messages, recovery points (keyframes without IDR), and
        // pictures coded as field pairs, as broadcasters send them.
        {"Broadcast",
         h264Clip(dir, "broadcast.ts", "open-gop=1:keyint=30:nal-hrd=vbr:vbv-maxrate=900:vbv-bufsize=900:interlaced=1",
                  false),
         true},
        {"RepeatedFieldsMpeg2",
         written(dir, "repeats.ts", withRepeats(bytesOf(fixtures::clip(ClipKind::InterlacedTs)), false)), true},
        {"RepeatedFieldsH264", written(dir, "repeats-h264.ts", withRepeats(bytesOf(picStruct), true)), true},
        {"CutM2ts", written(dir, "cut.m2ts", m2ts.mid(1001, m2ts.size() - 2002)), true},
        {"Wrapped", written(dir, "wrapped.ts", wrapped(mpeg2, false)), true},
        {"JumpedBackOverTheWrap", written(dir, "jumped.ts", wrapped(mpeg2, true)), true},
        {"PesLengths", written(dir, "lengths.ts", withLengths(mpeg2)), true},
        {"RtpHeaders", written(dir, "rtp.ts", withRtpHeaders(mpeg2)), true},
        {"DamagedFirstSlice",
         written(dir, "damaged-slice.ts", damagedFirstSlice(bytesOf(fixtures::clip(ClipKind::JoinedTs)))), true},
    };
    std::mt19937 random(7), cuts(11);
    for (ClipKind kind : {ClipKind::Mpeg2Ts, ClipKind::JoinedTs, ClipKind::PyramidM2ts, ClipKind::InterlacedTs}) {
        const QByteArray clip = bytesOf(fixtures::clip(kind));
        for (int copy = 0; copy < 25; ++copy) {
            QByteArray bytes = copy % 3 ? clip : clip.mid(qsizetype(random() % 5000));
            for (int i = 0; i < 1 + copy % 5; ++i)
                bytes[qsizetype(random() % unsigned(bytes.size()))] = char(random());
            // Bytes lost on the way, as from a broken capture: the demuxer looks for the packets again.
            for (int i = 0; i < copy % 4; ++i) {
                const qsizetype at = qsizetype(cuts() % unsigned(bytes.size()));
                bytes.remove(at, qsizetype(1 + cuts() % 400));
            }
            const QString name = QStringLiteral("damaged-%1-%2.ts").arg(int(kind)).arg(copy);
            cases.push_back({name.toStdString(), written(dir, name, bytes), false});
        }
    }
    return cases;
}

TEST(TransportStreamScan, givesThePacketsTheDemuxerGivesOrDeclines)
{
    QTemporaryDir dir;
    for (const ScanCase& c : scanCases(dir)) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.path.isEmpty());
        const ContainerScan scanned = scan(c.path);
        // Handed from the pass to the second thread a few packets at a time, or read in parts
        // whose seams fall anywhere, the scan ends the same.
        for (const int parts : {1, 2, 7}) {
            SCOPED_TRACE(parts);
            const ContainerScan other = scan(c.path, {}, 4096, parts);
            ASSERT_EQ(other.outcome, scanned.outcome);
            ASSERT_EQ(other.packets.size(), scanned.packets.size());
            for (size_t i = 0; i < scanned.packets.size(); ++i) {
                const PacketEntry &o = other.packets[i], &s = scanned.packets[i];
                ASSERT_TRUE(o.position == s.position && o.pts == s.pts && o.dts == s.dts && o.duration == s.duration
                            && o.keyframe == s.keyframe && o.kind == s.kind)
                    << "packet " << i;
            }
        }
        if (!c.mustScan && scanned.outcome == ContainerScan::Outcome::CannotScan)
            continue;
        ASSERT_EQ(scanned.outcome, ContainerScan::Outcome::Done);
        EXPECT_EQ(scanned.identity, mci::PacketIdentity::DecodeTime);
        const std::vector<PacketEntry> expected = sourcetest::demuxedPackets(c.path);
        ASSERT_EQ(scanned.packets.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const PacketEntry& s = scanned.packets[i];
            const PacketEntry& e = expected[i];
            ASSERT_TRUE(s.pts == e.pts && s.dts == e.dts && s.position == e.position && s.duration == e.duration
                        && s.keyframe == e.keyframe && s.shown == e.shown && s.kind == e.kind
                        && s.key == mci::timeKey(s.dts))
                << "packet " << i << ": scanned " << s.pts << " " << s.dts << " " << s.position << " " << s.duration
                << " " << s.keyframe << s.shown << int(s.kind) << ", demuxed " << e.pts << " " << e.dts << " "
                << e.position << " " << e.duration << " " << e.keyframe << e.shown << int(e.kind);
        }
    }
}

// Each is a file the demuxer reads otherwise than PES packet by PES packet, or times in a way
// the scan cannot be sure of, or no transport stream at all.
TEST(TransportStreamScan, declinesWhatItCannotReadAsTheDemuxerDoes)
{
    QTemporaryDir dir;
    const QByteArray mpeg2 = bytesOf(fixtures::clip(ClipKind::Mpeg2Ts));
    const QByteArray h264 = bytesOf(fixtures::clip(ClipKind::JoinedTs));
    const QByteArray m2ts = bytesOf(fixtures::clip(ClipKind::PyramidM2ts));
    const std::vector<Pes> m = videoPes(mpeg2), h = videoPes(h264);
    ASSERT_TRUE(m.size() > 3 && h.size() > 3);
    std::vector<QString> paths = {fixtures::clip(ClipKind::Mpeg1Mpg)};
    const auto edited = [&](const char* name, QByteArray bytes, const std::function<void(QByteArray&)>& edit) {
        edit(bytes);
        paths.push_back(written(dir, name, bytes));
    };
    const auto joinSecond = [](const std::vector<Pes>& pes) {
        return [&pes](QByteArray& b) { b[pes[1].packet + 1] = char(b[pes[1].packet + 1] & ~0x40); };
    };
    edited("two-pictures.ts", mpeg2, joinSecond(m));
    edited("two-pictures-h264.ts", h264, joinSecond(h));
    edited("scrambled.ts", mpeg2, [&](QByteArray& b) { b[m[2].packet + 3] = char(b[m[2].packet + 3] | 0x80); });
    edited("untimed.ts", mpeg2, [&](QByteArray& b) { b[m[2].header + 7] = char(b[m[2].header + 7] & 0x3f); });
    // The I-picture decoded when shown, among B-pictures; a B-picture decoded before the last.
    edited("decoded-when-shown.ts", mpeg2,
           [&](QByteArray& b) { setStamp(b, m[0].header + 14, stampAt(b, m[0].header + 9)); });
    edited("decoded-before.ts", mpeg2, [&](QByteArray& b) { setStamp(b, m[2].header + 9, 0); });
    // From 30 to 25 frames a second in the second sequence header.
    edited("rate.ts", mpeg2, [&](QByteArray& b) {
        const qsizetype at = b.indexOf(QByteArray("\0\0\1\xb3", 4), b.indexOf(QByteArray("\0\0\1\xb3", 4)) + 1);
        b[at + 7] = char((b[at + 7] & 0xf0) | 3);
    });
    // Where the demuxer's parser cuts elsewhere than PES packets start: at a start code across
    // two of them, at a delimiter or a picture's first slice after a slice, and not at a PES
    // packet that starts with a slice (its header bytes made a longer PES header).
    edited("start-code-across.ts", mpeg2, [&](QByteArray& b) { b.replace(m[1].last + 185, 3, "\0\0\1", 3); });
    const auto keyframe = std::find_if(h.begin() + 1, h.end(), [&](const Pes& pes) {
        return h264.mid(pes.header, 64).contains(QByteArray("\0\0\1\x67", 4));
    });
    ASSERT_NE(keyframe, h.end());
    edited("delimiter-across.ts", h264, [&](QByteArray& b) {
        b.replace(keyframe[-1].last + 186, 2, QByteArray(2, 0));
        b[keyframe->header + 8] = char(b[keyframe->header + 8] + 3);
    });
    edited("delimiter-after-slice.ts", h264,
           [&](QByteArray& b) { b.replace(h[1].last + 182, 6, "\0\0\0\1\x09\xf0", 6); });
    edited("slice-after-slice.ts", h264, [&](QByteArray& b) { b.replace(h[1].last + 183, 5, "\0\0\1\x41\x80", 5); });
    const auto startAtSlice = [](const Pes& pes, const char* slice) {
        return [&pes, slice](QByteArray& b) {
            const qsizetype payload = pes.header + 9 + uchar(b[pes.header + 8]);
            b[pes.header + 8] = char(b[pes.header + 8] + b.indexOf(QByteArray(slice, 4), payload) - payload);
        };
    };
    edited("starts-with-slice.ts", mpeg2, startAtSlice(m[1], "\0\0\1\x01"));
    edited("starts-with-slice-h264.ts", h264, startAtSlice(h[2], "\0\0\1\x41"));
    // No picture parameter set, or a sequence parameter set that changes, or an x264 of 2006
    // (the demuxer's parser doubles the frame rate of its pictures).
    edited("no-pps.ts", h264,
           [&](QByteArray& b) { b.replace(QByteArray("\0\0\1\x68", 4), QByteArray("\0\0\1\x6a", 4)); });
    edited("sps-change.ts", h264, [&](QByteArray& b) { ++b[b.lastIndexOf(QByteArray("\0\0\1\x67", 4)) + 6]; });
    edited("old-x264.ts", h264, [&](QByteArray& b) { b.replace(b.indexOf("x264 - core ") + 12, 3, "016"); });
    // A video packet found in the file's first four bytes, placed before the file.
    const qsizetype first = m2ts.indexOf(QByteArray("\0\0\1\xe0", 4));
    paths.push_back(written(dir, "early.m2ts", m2ts.mid(first - first % 192 + 3)));
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(scan(path).outcome, ContainerScan::Outcome::CannotScan);
    }
}

// The search takes 32 or 16 bytes at a step where the processor can: wherever a code lies
// against those steps and the end, among zeros or none, it finds the first as a byte by byte
// search does.
TEST(TransportStreamScan, findsTheFirstStartCodeWhereverItLies)
{
    std::mt19937 random(3);
    for (int size = 0; size <= 100; ++size) {
        for (int planted = -1; planted < size; ++planted) {
            std::vector<uint8_t> bytes(static_cast<size_t>(size));
            for (uint8_t& byte : bytes)
                byte = uint8_t(planted % 3 == 0 ? 1 + random() % 255 : random() % 3);
            if (planted >= 0 && planted + 3 <= size)
                std::copy_n("\0\0\1", 3, bytes.begin() + planted);
            const uint8_t *begin = bytes.data(), *end = begin + size, *expected = end;
            for (const uint8_t* at = begin; expected == end && end - at >= 3; ++at)
                expected = at[0] == 0 && at[1] == 0 && at[2] == 1 ? at + 3 : end;
            ASSERT_EQ(mci::afterStartCode(begin, end) - begin, expected - begin) << size << " " << planted;
        }
    }
}

TEST(TransportStreamScan, reportsHowFarItHasReadAndStopsWhenCancelled)
{
    const QString path = fixtures::clip(ClipKind::Mpeg2Ts);
    for (const int parts : {1, 3}) {
        SCOPED_TRACE(parts);
        std::vector<double> fractions;
        const auto told = [&](double f) { return fractions.push_back(f), true; };
        EXPECT_EQ(scan(path, told, mci::kPesBatchBytes, parts).outcome, ContainerScan::Outcome::Done);
        ASSERT_FALSE(fractions.empty());
        EXPECT_EQ(fractions.back(), 1.0);
        const ContainerScan cancelled = scan(path, [](double) { return false; }, mci::kPesBatchBytes, parts);
        EXPECT_EQ(cancelled.outcome, ContainerScan::Outcome::Cancelled);
        EXPECT_TRUE(cancelled.packets.empty());
    }
}

}  // namespace
