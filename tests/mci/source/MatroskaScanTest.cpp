// The video packets of a Matroska or WebM file read from its block headers are the packets its
// demuxer gives, field by field; where the scan cannot be sure of that, it says so.
#include "Demuxer.h"
#include "FrameIndex.h"
#include "MatroskaScan.h"
#include "MediaGenerator.h"
#include "SourceCounters.h"
#include "SourceTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <random>

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
                   const mci::OpenProgress& progress = {}, int parts = 1)
{
    auto demuxer = sourcetest::openDemuxer(path);
    return demuxer ? mci::scanMatroska(path, *demuxer, progress, readBytes, parts) : ContainerScan{};
}

// Read in large steps as the open reads, and in steps smaller than a picture, so that pictures
// and headers lie across the ends of what was read, as they do in large files; and in parts
// whose seams fall anywhere, which are joined where the codec allows (splits).
void expectScannedAsDemuxed(const QString& path, bool splits = true)
{
    const std::vector<PacketEntry> expected = demuxedByTime(path);
    ASSERT_FALSE(expected.empty());
    const int joined = mci::joinedPartCount();
    for (auto [readBytes, parts] : {std::pair(mci::kMatroskaReadBytes, 1), std::pair(qint64(300), 1),
                                    std::pair(qint64(300), 3), std::pair(qint64(4096), 7)}) {
        const ContainerScan scanned = scan(path, readBytes, {}, parts);
        ASSERT_EQ(scanned.outcome, Outcome::Done)
            << path.toStdString() << " read " << readBytes << " bytes at a time in " << parts << " parts";
        EXPECT_EQ(scanned.identity, mci::PacketIdentity::PresentationTime);
        ASSERT_EQ(scanned.packets.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(fieldsOf(scanned.packets[i]), fieldsOf(expected[i])) << path.toStdString() << " packet " << i;
    }
    EXPECT_EQ(mci::joinedPartCount() > joined, splits) << path.toStdString();
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
    bool splits = true;
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
    const bool splits = GetParam().splits;
    expectScannedAsDemuxed(path, splits);
    expectScannedAsDemuxed(writeFile(dir, QStringLiteral("unmarked.mkv"), withoutKeyframeMarks(file)), splits);
    expectScannedAsDemuxed(writeFile(dir, QStringLiteral("live.mkv"), withSizesLeftOpen(file)), splits);
}

INSTANTIATE_TEST_SUITE_P(Clips, MatroskaScan,
                         ::testing::Values(ScanClip{ClipKind::H264Mkv, "H264Mkv"},
                                           ScanClip{ClipKind::H264VfrMkv, "H264VfrMkv"},
                                           ScanClip{ClipKind::LongStill, "LongStill"},
                                           ScanClip{ClipKind::Vp8, "Vp8"},
                                           ScanClip{ClipKind::Vp9Live, "Vp9Live"},
                                           ScanClip{ClipKind::Av1, "Av1", false},
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

// Bytes that read as the start of a cluster, in the middle of every larger frame: where a part
// takes one for its first cluster, its reading and the reading of the part before part ways.
QByteArray withClusterLookalikes(const QByteArray& file)
{
    return changed(file, [](QByteArray& bytes, quint64 id, qsizetype sizeAt, qsizetype data) {
        qsizetype size = uchar(bytes[sizeAt]) & (0xff >> (data - sizeAt));
        for (qsizetype i = sizeAt + 1; i < data; ++i)
            size = size << 8 | uchar(bytes[i]);
        if (id == kSimpleBlock && size > 32)
            bytes.replace(data + size / 2, 8, QByteArray("\x1f\x43\xb6\x75\x83\xe7\x81\x00", 8));
    });
}

// VP9 frames of the fifth profile, which the parser takes for damage: it answers nothing, and the
// demuxer takes the answer it gave for the frame before. Here the first frame of each cluster,
// where parts begin.
QByteArray withClustersBeginningUnanswered(const QByteArray& file)
{
    bool first = false;
    return changed(file, [&](QByteArray& bytes, quint64 id, qsizetype, qsizetype data) {
        if (id == kSimpleBlock && first)
            bytes[data + vintLength(bytes, data) + 3] = char(0xb8);
        first = id == kCluster || (first && id != kSimpleBlock);
    });
}

// Damage, or a clock that goes back, where a seam may fall or where the part before stops: read
// in parts, a file ends as it does read in one pass, whether in packets or in declining.
TEST(MatroskaScanOf, filesReadInPartsEndAsReadInOne)
{
    QTemporaryDir dir;
    std::vector<QString> paths = {
        fixtures::clip(ClipKind::RestartedMkv), fixtures::clip(ClipKind::RestartedAtKeyMkv),
        writeFile(dir, QStringLiteral("lookalikes.mkv"),
                  withClusterLookalikes(contentsOf(fixtures::clip(ClipKind::H264Mkv)))),
        writeFile(dir, QStringLiteral("unanswered.mkv"),
                  withClustersBeginningUnanswered(contentsOf(fixtures::clip(ClipKind::Vp9Live))))};
    std::mt19937 random(5);
    for (ClipKind kind : {ClipKind::H264Mkv, ClipKind::Vp9Live, ClipKind::Hevc10OpenGop}) {
        const QByteArray clip = contentsOf(fixtures::clip(kind));
        for (int copy = 0; copy < 12; ++copy) {
            QByteArray bytes = copy % 2 ? clip : withSizesLeftOpen(clip);
            const qsizetype at = qsizetype(random() % unsigned(bytes.size()));
            if (copy % 3 == 0)
                bytes.replace(at, std::min<qsizetype>(2000, bytes.size() - at), QByteArray(2000, 0));
            for (int i = 0; copy % 3 == 1 && i < 1 + copy % 5; ++i)
                bytes[qsizetype(random() % unsigned(bytes.size()))] = char(random());
            if (copy % 3 == 2)
                bytes.truncate(at);
            paths.push_back(writeFile(dir, QStringLiteral("damaged-%1-%2.mkv").arg(int(kind)).arg(copy), bytes));
        }
    }
    for (const QString& path : paths) {
        const ContainerScan whole = scan(path, 4096);
        for (const int parts : {2, 3, 5, 7}) {
            const ContainerScan inParts = scan(path, 4096, {}, parts);
            ASSERT_EQ(inParts.outcome, whole.outcome) << path.toStdString() << " in " << parts;
            ASSERT_EQ(inParts.clockGoesBack, whole.clockGoesBack) << path.toStdString() << " in " << parts;
            ASSERT_EQ(inParts.packets.size(), whole.packets.size()) << path.toStdString() << " in " << parts;
            for (size_t i = 0; i < whole.packets.size(); ++i)
                ASSERT_EQ(fieldsOf(inParts.packets[i]), fieldsOf(whole.packets[i])) << path.toStdString() << " " << i;
        }
    }
}

TEST(MatroskaScanOf, reportsItsProgressAndStopsWhenTold)
{
    const QString path = fixtures::clip(ClipKind::LongStill);
    for (const int parts : {1, 3}) {
        SCOPED_TRACE(parts);
        std::vector<double> fractions;
        const auto told = [&](double f) { return fractions.push_back(f), true; };
        ASSERT_EQ(scan(path, 4096, told, parts).outcome, Outcome::Done);
        ASSERT_GT(fractions.size(), 50u / size_t(parts));
        EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
        EXPECT_GT(fractions.back(), 0.9);
        EXPECT_LE(fractions.back(), 1.0);

        int asked = 0;
        const ContainerScan cancelled = scan(path, 4096, [&](double) { return ++asked < 10 / parts; }, parts);
        EXPECT_EQ(cancelled.outcome, Outcome::Cancelled);
        EXPECT_EQ(asked, 10 / parts);
        EXPECT_TRUE(cancelled.packets.empty());
    }
}

}  // namespace
