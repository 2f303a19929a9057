// The video packets of a Matroska or WebM file read from its block headers are the packets its
// demuxer gives, field by field; where the scan cannot be sure of that, it says so.
#include "Demuxer.h"
#include "FrameIndex.h"
#include "MatroskaScan.h"
#include "MediaGenerator.h"
#include "SourceTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using fixtures::ClipKind;
using mci::ContainerScan;
using mci::PacketEntry;
using Outcome = ContainerScan::Outcome;

namespace {

constexpr quint64 kSegment = 0x18538067, kCluster = 0x1F43B675, kSimpleBlock = 0xA3;

// The packets as the index pass reads them, known by their presentation times.
std::vector<PacketEntry> demuxedByTime(const QString& path)
{
    auto packets = sourcetest::demuxedPackets(path);
    for (PacketEntry& p : packets)
        p.key = mci::timeKey(p.pts);
    return packets;
}

auto fieldsOf(const PacketEntry& p)
{
    return std::tuple(p.pts, p.dts, p.position, p.duration, p.keyframe, p.shown, int(p.kind), p.key);
}

ContainerScan scan(const QString& path, qint64 readBytes = mci::kMatroskaReadBytes,
                   const mci::OpenProgress& progress = {})
{
    auto demuxer = sourcetest::openDemuxer(path);
    return demuxer ? mci::scanMatroska(path, *demuxer, progress, readBytes) : ContainerScan{};
}

// Read in large steps as the open reads, and in steps smaller than a picture, so that pictures
// and headers lie across the ends of what was read, as they do in large files.
void expectScannedAsDemuxed(const QString& path)
{
    const std::vector<PacketEntry> expected = demuxedByTime(path);
    ASSERT_FALSE(expected.empty());
    for (qint64 readBytes : {mci::kMatroskaReadBytes, qint64(300)}) {
        const ContainerScan scanned = scan(path, readBytes);
        ASSERT_EQ(scanned.outcome, Outcome::Done) << path.toStdString() << " read " << readBytes << " bytes at a time";
        EXPECT_EQ(scanned.identity, mci::PacketIdentity::PresentationTime);
        ASSERT_EQ(scanned.packets.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(fieldsOf(scanned.packets[i]), fieldsOf(expected[i])) << path.toStdString() << " packet " << i;
    }
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    QFile file(dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    return file.fileName();
}

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The length of the variable-size integer at at.
int vintLength(const QByteArray& bytes, qsizetype at)
{
    int length = 1;
    while (length < 8 && !(uchar(bytes[at]) & (0x80 >> (length - 1))))
        ++length;
    return length;
}

// The file with change(bytes, id, sizeAt, dataAt) made on each element of the segment and of
// its clusters, which are entered; anything else is passed over by its size.
template <typename Change>
QByteArray changed(const QByteArray& file, Change change)
{
    QByteArray bytes = file;
    for (qsizetype at = 0; at < file.size();) {
        const int idLength = vintLength(file, at), sizeLength = vintLength(file, at + idLength);
        quint64 id = 0, size = uchar(file[at + idLength]) & (0xff >> sizeLength);
        for (int i = 0; i < idLength; ++i)
            id = id << 8 | uchar(file[at + i]);
        for (int i = 1; i < sizeLength; ++i)
            size = size << 8 | uchar(file[at + idLength + i]);
        const qsizetype data = at + idLength + sizeLength;
        change(bytes, id, at + idLength, data);
        at = id == kSegment || id == kCluster ? data : data + qsizetype(size);
    }
    return bytes;
}

// As some muxers write them: the demuxer then marks keyframes by the frames' own headers.
QByteArray withoutKeyframeMarks(const QByteArray& file)
{
    return changed(file, [](QByteArray& bytes, quint64 id, qsizetype, qsizetype data) {
        if (id == kSimpleBlock)
            bytes[data + vintLength(bytes, data) + 2] = char(bytes[data + vintLength(bytes, data) + 2] & 0x7f);
    });
}

// As a live recording writes them: the segment and each cluster end where the next element of
// their parent's level begins.
QByteArray withSizesLeftOpen(const QByteArray& file)
{
    return changed(file, [](QByteArray& bytes, quint64 id, qsizetype sizeAt, qsizetype data) {
        for (qsizetype i = sizeAt; (id == kSegment || id == kCluster) && i < data; ++i)
            bytes[i] = char(i == sizeAt ? 0xff >> (data - sizeAt - 1) : 0xff);
    });
}

struct ScanClip {
    ClipKind kind;
    const char* name;
};

void PrintTo(const ScanClip& clip, std::ostream* out)
{
    *out << clip.name;
}

class MatroskaScan : public ::testing::TestWithParam<ScanClip> {};

TEST_P(MatroskaScan, givesEveryPacketAsTheDemuxerGivesItAsWrittenWithoutKeyframeMarksAndLive)
{
    QTemporaryDir dir;
    const QString path = fixtures::clip(GetParam().kind);
    const QByteArray file = contentsOf(path);
    expectScannedAsDemuxed(path);
    expectScannedAsDemuxed(writeFile(dir, QStringLiteral("unmarked.mkv"), withoutKeyframeMarks(file)));
    expectScannedAsDemuxed(writeFile(dir, QStringLiteral("live.mkv"), withSizesLeftOpen(file)));
}

INSTANTIATE_TEST_SUITE_P(Clips, MatroskaScan,
                         ::testing::Values(ScanClip{ClipKind::H264Mkv, "H264Mkv"},
                                           ScanClip{ClipKind::H264VfrMkv, "H264VfrMkv"},
                                           ScanClip{ClipKind::LongStill, "LongStill"},
                                           ScanClip{ClipKind::Vp8, "Vp8"},
                                           ScanClip{ClipKind::Vp9Live, "Vp9Live"},
                                           ScanClip{ClipKind::Av1, "Av1"},
                                           ScanClip{ClipKind::Hevc10OpenGop, "Hevc10OpenGop"}),
                         [](const auto& info) { return std::string(info.param.name); });

// VP8 with transparency keeps each frame in a block group beside its alpha, and marks there the
// frames that refer to others.
TEST(MatroskaScanOf, blockGroupsOfAnyTrackNumber)
{
    QTemporaryDir dir;
    fixtures::VideoSpec video;
    video.path = dir.filePath(QStringLiteral("alpha.webm"));
    video.encoder = "libvpx";
    video.muxer = "webm";
    video.pixelFormat = "yuva420p";
    video.frames = 40;
    video.fpsNum = 60000;  // a frame lasts 16.68 ms, 16 ticks of the file's clock
    video.fpsDen = 1001;
    video.encoderOptions = {{"auto-alt-ref", "0"}};
    video.muxerOptions = {{"dash", "1"}, {"dash_track_number", "7"}};
    QString error;
    ASSERT_TRUE(fixtures::writeVideo(video, &error)) << error.toStdString();
    expectScannedAsDemuxed(video.path);
}

// MPEG-2 pictures held back: the demuxer guesses the first decode time (one frame before the
// first picture) where the scan could only guess otherwise.
TEST(MatroskaScanOf, damagedUnsureOrOtherFilesAreNotScanned)
{
    QTemporaryDir dir;
    fixtures::VideoSpec mpeg2;
    mpeg2.path = dir.filePath(QStringLiteral("mpeg2.mkv"));
    mpeg2.container = fixtures::Container::Mkv;
    mpeg2.codec = fixtures::VideoCodec::Mpeg2;
    ASSERT_TRUE(fixtures::writeVideo(mpeg2, nullptr));
    EXPECT_EQ(scan(mpeg2.path).outcome, Outcome::CannotScan);

    const QByteArray whole = contentsOf(fixtures::clip(ClipKind::H264Mkv));
    EXPECT_EQ(scan(writeFile(dir, QStringLiteral("cut.mkv"), whole.left(whole.size() * 2 / 3))).outcome,
              Outcome::CannotScan);
    QByteArray broken = whole;
    const qsizetype cluster = broken.indexOf("\x1f\x43\xb6\x75", broken.size() / 2);
    ASSERT_GT(cluster, 0);
    broken[cluster + 5] = char(broken[cluster + 5] ^ 0x40);  // its size no longer fits
    EXPECT_EQ(scan(writeFile(dir, QStringLiteral("broken.mkv"), broken)).outcome, Outcome::CannotScan);
    EXPECT_EQ(scan(fixtures::clip(ClipKind::H264Mp4)).outcome, Outcome::CannotScan);
}

TEST(MatroskaScanOf, reportsItsProgressAndStopsWhenTold)
{
    const QString path = fixtures::clip(ClipKind::LongStill);
    std::vector<double> fractions;
    ASSERT_EQ(scan(path, 4096, [&](double f) { return fractions.push_back(f), true; }).outcome, Outcome::Done);
    ASSERT_GT(fractions.size(), 50u);
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_GT(fractions.back(), 0.9);
    EXPECT_LE(fractions.back(), 1.0);

    int asked = 0;
    const ContainerScan cancelled = scan(path, 4096, [&](double) { return ++asked < 10; });
    EXPECT_EQ(cancelled.outcome, Outcome::Cancelled);
    EXPECT_EQ(asked, 10);
    EXPECT_TRUE(cancelled.packets.empty());
}

}  // namespace
