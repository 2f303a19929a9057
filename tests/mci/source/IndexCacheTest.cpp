// What a long open learns is kept: the second open of a file makes no index pass, a damaged or
// outdated entry is rebuilt, and a cancelled open keeps nothing.
#include "Barcode.h"
#include "ContainerScan.h"
#include "IndexCache.h"
#include "SampleTable.h"
#include "SourceCounters.h"
#include "MediaGenerator.h"
#include "SourceErrors.h"
#include "SourceTestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <QtEndian>

#include <array>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <tuple>

using namespace sourcetest;

namespace {

class IndexCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_path = m_dir.filePath("clip.mpg");
        ASSERT_TRUE(QFile::copy(fixtures::clip(fixtures::ClipKind::Mpeg1Mpg), m_path));
    }
    // Opens the clip and tells whether that made an index pass.
    bool openMadeAPass()
    {
        const int before = mci::indexPassCount();
        auto source = openOrFail(m_path);
        if (source) {
            EXPECT_EQ(barcodeOf(*source, 47), 47);
        }
        return mci::indexPassCount() > before;
    }

    CacheFolder m_cache;
    QTemporaryDir m_dir;
    QString m_path;
};

TEST_F(IndexCacheTest, theSecondOpenUsesTheKeptIndexInTheUsersCacheFolder)
{
    EXPECT_TRUE(openMadeAPass());
    const QString entry = mci::IndexCache::entryPath(m_path);
    EXPECT_TRUE(entry.startsWith(m_cache.path() + "/tavolen/")) << entry.toStdString();
    EXPECT_TRUE(QFile::exists(entry));
    EXPECT_FALSE(openMadeAPass());
}

// The index is kept for the next run of the program: an entry written by another process
// must give the same frames.
TEST_F(IndexCacheTest, anEntryKeptByAnotherProcessGivesTheRightFrames)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TAVOLEN_INDEX_THIS"), m_path);
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_cache.path());
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=IndexCacheChild.indexesTheFileNamedByTheParent")});
    ASSERT_TRUE(child.waitForFinished(120'000));
    ASSERT_EQ(child.exitCode(), 0) << child.readAll().toStdString();
    ASSERT_TRUE(QFile::exists(mci::IndexCache::entryPath(m_path)));

    const int before = mci::indexPassCount();
    auto source = openOrFail(m_path);
    ASSERT_TRUE(source);
    EXPECT_EQ(mci::indexPassCount(), before);
    for (int n : {0, 1, 47, 89, 30})
        EXPECT_EQ(barcodeOf(*source, n), n);
}

// The other process of the test above; does nothing when run on its own.
TEST(IndexCacheChild, indexesTheFileNamedByTheParent)
{
    const QString path = qEnvironmentVariable("TAVOLEN_INDEX_THIS");
    if (path.isEmpty())
        GTEST_SKIP() << "runs only as the child of anEntryKeptByAnotherProcessGivesTheRightFrames";
    EXPECT_TRUE(openOrFail(path));
}

TEST_F(IndexCacheTest, aDamagedEntryIsRebuilt)
{
    ASSERT_TRUE(openMadeAPass());
    const QString entry = mci::IndexCache::entryPath(m_path);
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const qint64 size = file.size();
    file.seek(size / 2);
    file.write("damage");
    file.close();
    EXPECT_TRUE(openMadeAPass());
    EXPECT_FALSE(openMadeAPass());

    QFile::resize(entry, size / 2);  // its payload cut short
    EXPECT_TRUE(openMadeAPass());
    QFile::resize(entry, 10);
    EXPECT_TRUE(openMadeAPass());
    QFile::resize(entry, 0);
    EXPECT_TRUE(openMadeAPass());
}

TEST_F(IndexCacheTest, aChangedFileIsIndexedAgain)
{
    ASSERT_TRUE(openMadeAPass());
    QFile file(m_path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600), QFileDevice::FileModificationTime);
    file.close();
    EXPECT_TRUE(openMadeAPass());
    EXPECT_FALSE(openMadeAPass());
}

// Read through, and from the container's table of samples (which reads every sample's first
// bytes, the whole file from a slow disk).
TEST_F(IndexCacheTest, anOpenCancelledThroughItsProgressFailsAndKeepsNothing)
{
    const QString movie = m_dir.filePath("clip.mp4");
    ASSERT_TRUE(QFile::copy(fixtures::clip(fixtures::ClipKind::H264Mp4), movie));
    for (const QString& path : {m_path, movie}) {
        SCOPED_TRACE(path.toStdString());
        std::vector<double> reported;
        const auto cancelAtOnce = [&reported](double fraction) {
            reported.push_back(fraction);
            return false;
        };
        EXPECT_EQ(openFailureCode(path, cancelAtOnce), mci::MCIERR_SOURCE_CANCELLED);
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_FALSE(QFile::exists(mci::IndexCache::entryPath(path)));

        reported.clear();
        const auto watch = [&reported](double fraction) {
            reported.push_back(fraction);
            return true;
        };
        EXPECT_EQ(openFailureCode(path, watch), 0u);
        ASSERT_FALSE(reported.empty());
        EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
        EXPECT_GE(reported.front(), 0.0);
        EXPECT_LE(reported.back(), 1.0);
    }
}

}  // namespace

namespace {

// An index read from the container's own structure (a table of samples, block headers) is the
// index the demuxer gives by reading the whole file, frame for frame; and the kinds of files
// whose structure tells every frame are read so. A movie file is indexed again as the open does
// it: with its samples read while its demuxer opened, which an H.264 one takes, and its edit
// lists read simply where they cut no picture away.
class ContainerIndex : public ::testing::TestWithParam<MatrixClip> {};

TEST_P(ContainerIndex, isTheIndexTheDemuxerGives)
{
    using Kind = fixtures::ClipKind;
    const QString path = fixtures::clip(GetParam().kind);
    auto opened = std::get<std::unique_ptr<mci::Demuxer>>(mci::Demuxer::open(path));
    const mci::FrameIndex fast = std::get<mci::IndexedFile>(mci::indexFile(path, opened, {})).index;
    mci::SampleHeadsAhead ahead(path);
    auto again = std::get<std::unique_ptr<mci::Demuxer>>(mci::Demuxer::open(path, ahead.editLists()));
    const mci::FrameIndex early = std::get<mci::IndexedFile>(mci::indexFile(path, again, {}, &ahead)).index;
    if (GetParam().kind == Kind::H264Mp4) {
        ASSERT_TRUE(ahead.taken()) << "the samples read ahead were not taken";
    }
    auto read = std::get<std::unique_ptr<mci::Demuxer>>(mci::Demuxer::open(path));
    auto through = std::get<mci::ContainerScan>(mci::scanThroughDemuxer(*read, {}));
    const mci::FrameIndex full(std::move(through.packets), mci::clockOf(*read));
    const std::set<Kind> structured = {Kind::H264Mp4, Kind::MjpegAvi, Kind::Portrait, Kind::PicturelessMp4,
                                       Kind::EditListMp4, Kind::ProRes, Kind::H264Mkv, Kind::LongStill, Kind::Vp9Live,
                                       Kind::Mpeg2Ts, Kind::CutTs, Kind::JoinedTs, Kind::PyramidM2ts};
    if (structured.count(GetParam().kind)) {
        ASSERT_NE(fast.identity(), mci::PacketIdentity::Bytes) << "read through instead";
    }
    for (const mci::FrameIndex* index : {&fast, &early}) {
        SCOPED_TRACE(index == &early ? "samples read ahead" : "samples read with the table");
        ASSERT_EQ(index->frameCount(), full.frameCount());
        for (int n = 0; n <= full.frameCount(); ++n) {
            ASSERT_EQ(index->frameStartUs(n), full.frameStartUs(n)) << "frame " << n;
            if (n == full.frameCount())
                break;
            ASSERT_EQ(index->packetOfFrame(n), full.packetOfFrame(n)) << "frame " << n;
            ASSERT_EQ(index->keyframePacketFor(n, 0), full.keyframePacketFor(n, 0)) << "frame " << n;
        }
    }
}

// A movie header's box at `at` (its type) and the boxes around it grown by `by` bytes, the outer
// ones found as the last of their type before it.
void growBoxes(QByteArray& bytes, qsizetype at, quint32 by, std::initializer_list<const char*> outward)
{
    for (const char* type : outward) {
        const qsizetype box = (type == outward.begin()[0] ? at : bytes.lastIndexOf(type, at)) - 4;
        qToBigEndian<quint32>(qFromBigEndian<quint32>(bytes.constData() + box) + by, bytes.data() + box);
    }
}

// Where each video packet of a file is and how large, as the demuxer gives them.
struct Span {
    qint64 position;
    int size;
    bool keyframe;
};
std::vector<Span> videoSpans(const QString& path)
{
    std::vector<Span> spans;
    auto demuxer = openDemuxer(path);
    AVPacket* packet = av_packet_alloc();
    while (demuxer && packet && demuxer->read(packet) >= 0) {
        if (packet->stream_index == demuxer->videoStream())
            spans.push_back({packet->pos, packet->size, bool(packet->flags & AV_PKT_FLAG_KEY)});
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return spans;
}

// The n-th place a marker is found, -1 where there are fewer.
qsizetype nthOf(const QByteArray& bytes, const QByteArray& marker, int n)
{
    qsizetype at = -1;
    for (int i = 0; i <= n; ++i) {
        at = bytes.indexOf(marker, at + 1);
        if (at < 0)
            break;
    }
    return at;
}

void addTo32(QByteArray& bytes, qsizetype at, qint64 change, bool bigEndian)
{
    if (at < 0 || at + 4 > bytes.size())
        return;
    char* p = bytes.data() + at;
    if (bigEndian)
        qToBigEndian<quint32>(quint32(qFromBigEndian<quint32>(p) + change), p);
    else
        qToLittleEndian<quint32>(quint32(qFromLittleEndian<quint32>(p) + change), p);
}

// The flags byte of what looks like the Matroska simple block of track 1 halfway through the
// file, or -1.
qsizetype middleSimpleBlockFlags(const QByteArray& bytes)
{
    std::vector<qsizetype> flags;
    for (qsizetype at = bytes.indexOf('\xa3'); at >= 0; at = bytes.indexOf('\xa3', at + 1)) {
        const int length = at + 1 < bytes.size() ? __builtin_clz(uchar(bytes[at + 1]) | 1u) - 23 : 0;
        if (length >= 1 && length <= 8 && at + length + 4 < bytes.size() && bytes[at + 1 + length] == '\x81')
            flags.push_back(at + 1 + length + 3);
    }
    return flags.size() > 64 ? flags[flags.size() / 2] : -1;
}

// Damage of each kind a container's own structure can suffer, each applied where the file has
// what it damages (else it changes nothing). spans: the video packets of the undamaged file.
using Damage = std::function<void(QByteArray&, const std::vector<Span>&)>;
const std::vector<std::pair<const char*, Damage>> kDamage = {
    {"Truncated", [](QByteArray& b, const auto&) { b.truncate(b.size() * 3 / 5); }},
    {"RangeZeroed", [](QByteArray& b, const auto&) { b.replace(b.size() * 9 / 20, std::min<qsizetype>(20000, b.size() / 20), QByteArray(std::min<qsizetype>(20000, b.size() / 20), '\0')); }},
    {"BytesChanged",
     [](QByteArray& b, const auto&) {
         for (int i = 1; i <= 5; ++i)
             b[b.size() * (30 + 7 * i) / 100] = char(b[b.size() * (30 + 7 * i) / 100] ^ 0x5a);
     }},
    {"ChunkIdBroken", [](QByteArray& b, const auto&) { if (const qsizetype at = nthOf(b, "00dc", 10); at >= 0) b.replace(at, 4, "xxxx"); }},
    {"ChunkSizeBroken", [](QByteArray& b, const auto&) { addTo32(b, nthOf(b, "00dc", 12) + 4, 9, false); }},
    {"AviKeyFlagSet", [](QByteArray& b, const auto&) { if (const qsizetype at = nthOf(b, "00dc", b.count("00dc") / 2 + 3); at >= 0 && b.indexOf("idx1") >= 0 && b.indexOf("idx1") < at) b[at + 4] = char(b[at + 4] | 0x10); }},
    {"SampleSizeChanged", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stsz"); at >= 0 && b.mid(at + 8, 4) == QByteArray(4, '\0')) addTo32(b, at + 16 + 4 * 20, 100, true); }},
    {"SampleCountChanged", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stsz"); at >= 0) addTo32(b, at + 12, -1, true); }},
    // A movie's chunks: the first run of them holds no samples (which the demuxer takes for
    // one each), or a sample more each; the second chunk starts elsewhere.
    {"ChunkRunEmptied", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stsc"); at >= 0 && b.size() > at + 20) qToBigEndian<quint32>(0, b.data() + at + 16); }},
    {"ChunkRunChanged", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stsc"); at >= 0) addTo32(b, at + 16, 1, true); }},
    {"ChunkOffsetMoved", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stco"); at >= 0 && b.size() > at + 20) addTo32(b, at + 16, 8, true); }},
    // Counts of table entries far beyond the bytes of their boxes.
    {"SampleCountHuge", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stsz"); at >= 0) qToBigEndian<quint32>(0x7fffffff, b.data() + at + 12); }},
    {"ChunkCountHuge", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stco"); at >= 0) qToBigEndian<quint32>(0x7fffffff, b.data() + at + 8); }},
    {"ChunkRunCountHuge", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stsc"); at >= 0) qToBigEndian<quint32>(0x7fffffff, b.data() + at + 8); }},
    {"SyncSampleMoved", [](QByteArray& b, const auto&) { if (const qsizetype at = b.indexOf("stss"); at >= 0 && b.size() > at + 20) addTo32(b, at + 16, 3, true); }},
    // The middle entry of the sync sample table taken out (the later ones move up, the count
    // drops): that keyframe is no longer listed, though its picture starts anew.
    {"SyncSampleUnlisted",
     [](QByteArray& b, const auto&) {
         const qsizetype at = b.indexOf("stss");
         const qint64 count = at >= 0 && b.size() > at + 12 ? qFromBigEndian<quint32>(b.constData() + at + 8) : 0;
         if (count < 3 || b.size() < at + 12 + 4 * count)
             return;
         const qsizetype middle = at + 12 + 4 * (count / 2), end = at + 12 + 4 * count;
         b.replace(middle, end - middle, b.mid(middle + 4, end - middle - 4) + QByteArray(4, '\0'));
         qToBigEndian<quint32>(quint32(count - 1), b.data() + at + 8);
     }},
    // A segment that says it lasts for days, which sizes nothing.
    {"MatroskaDurationHuge",
     [](QByteArray& b, const auto&) {
         if (const qsizetype at = b.indexOf("\x44\x89\x88"); at >= 0 && b.size() > at + 11)
             qToBigEndian<double>(1e12, b.data() + at + 3);
     }},
    {"MatroskaKeyFlagSet", [](QByteArray& b, const auto&) { if (const qsizetype at = middleSimpleBlockFlags(b); at >= 0) b[at] = char(b[at] | 0x80); }},
    // A keyframe's picture between the first and the last zeroed, as a download with a hole in
    // it leaves it; its container still lists it as a keyframe.
    {"KeyframeZeroed",
     [](QByteArray& b, const std::vector<Span>& spans) {
         std::vector<Span> keys;
         std::copy_if(spans.begin(), spans.end(), std::back_inserter(keys), [](const Span& s) { return s.keyframe; });
         if (keys.size() < 3)
             return;
         const Span& s = keys[keys.size() / 2];
         if (s.position > 0 && s.position + s.size <= b.size())
             b.replace(s.position, s.size, QByteArray(s.size, '\0'));
     }},
    // An H.264 picture in length-prefixed units halfway through, of any size, becomes filler.
    {"PictureBecomesFiller",
     [](QByteArray& b, const std::vector<Span>& spans) {
         for (size_t k = spans.size() / 2; k < spans.size(); ++k) {
             const Span& s = spans[k];
             qint64 at = s.position, end = s.position + s.size;
             while (at > 0 && at + 5 <= end && end <= b.size())
                 at += 4 + qFromBigEndian<quint32>(b.constData() + at);
             if (at != end || s.size < 64)
                 continue;
             for (at = s.position; at < end; at += 4 + qFromBigEndian<quint32>(b.constData() + at))
                 b[at + 4] = char(12);
             return;
         }
     }},
};

// The index of a file from its container's structure against the index read through the
// demuxer: the same packets and frames, or a file that was read through. A movie file's samples
// are read both with its table and ahead, while its demuxer opens, which then reads the edit
// lists as the open chooses.
void expectTheIndexTheDemuxerGives(const QString& path)
{
    for (const bool readAhead : {false, true}) {
        SCOPED_TRACE(readAhead ? "samples read ahead" : "samples read with the table");
        std::optional<mci::SampleHeadsAhead> ahead;
        if (readAhead)
            ahead.emplace(path);
        // Where the demuxer refuses the file, the reading ahead still runs to its end.
        auto opened = openDemuxer(path, ahead ? ahead->editLists() : mci::EditLists::Full);
        auto read = openDemuxer(path);
        if (!opened || !read)
            continue;
        auto indexed = mci::indexFile(path, opened, {}, ahead ? &*ahead : nullptr);
        auto through = mci::scanThroughDemuxer(*read, {});
        ASSERT_EQ(indexed.index(), through.index());
        if (!std::holds_alternative<mci::IndexedFile>(indexed))
            continue;
        const mci::FrameIndex& fast = std::get<mci::IndexedFile>(indexed).index;
        const mci::FrameIndex full(std::move(std::get<mci::ContainerScan>(through).packets), mci::clockOf(*read));
        ASSERT_EQ(fast.packetCount(), full.packetCount());
        ASSERT_EQ(fast.frameCount(), full.frameCount());
        for (int i = 0; i < full.packetCount(); ++i) {
            const mci::PacketEntry &f = fast.packet(i), &r = full.packet(i);
            ASSERT_TRUE(f.keyframe == r.keyframe && f.shown == r.shown && f.kind == r.kind
                        && (f.position < 0 || r.position < 0 || f.position == r.position))
                << "packet " << i << ": fast " << f.keyframe << f.shown << int(f.kind) << " at " << f.position
                << ", read through " << r.keyframe << r.shown << int(r.kind) << " at " << r.position;
        }
        for (int n = 0; n <= full.frameCount(); ++n) {
            ASSERT_EQ(fast.frameStartUs(n), full.frameStartUs(n)) << "frame " << n;
            if (n < full.frameCount()) {
                ASSERT_EQ(fast.packetOfFrame(n), full.packetOfFrame(n)) << "frame " << n;
            }
        }
    }
}

// Damaged copies of a clip, each kind of damage on its own.
void expectDamagedCopiesGiveTheIndexTheDemuxerGives(const QString& original)
{
    QTemporaryDir dir;
    QFile in(original);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    const std::vector<Span> spans = videoSpans(original);
    for (const auto& [name, damage] : kDamage) {
        SCOPED_TRACE(name);
        QByteArray damaged = bytes;
        damage(damaged, spans);
        if (damaged == bytes)
            continue;
        const QString path = dir.filePath(QString::fromLatin1(name) + "." + QFileInfo(original).suffix());
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(damaged) == damaged.size());
        out.close();
        expectTheIndexTheDemuxerGives(path);
    }
}

TEST_P(ContainerIndex, ofADamagedCopyIsTheIndexTheDemuxerGivesOrNone)
{
    expectDamagedCopiesGiveTheIndexTheDemuxerGives(fixtures::clip(GetParam().kind));
}

// Edit lists are read the simple way only where the one edit starts at the first picture, lasts
// to the last and plays at the normal rate, its times of 32 bits or of 64 (as a long file writes
// them); read either way, the index is the one the demuxer gives.
TEST(EditLists, areReadSimplyOnlyWhereTheyCutNoPicture)
{
    QTemporaryDir dir;
    QFile in(fixtures::clip(fixtures::ClipKind::H264Mp4));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray narrow = in.readAll();
    const qsizetype at = narrow.indexOf("elst");
    ASSERT_GT(at, 4);
    // The same edit in version 1, the high halves of its length and start zero; the movie header
    // follows the samples, so nothing else moves.
    QByteArray wide = narrow;
    wide.insert(at + 16, 4, '\0').insert(at + 12, 4, '\0')[at + 4] = 1;
    growBoxes(wide, at, 8, {"elst", "edts", "trak", "moov"});
    // Added to the low 32 bits of the length, of the start or of the rate: as written, 100 ms
    // early, a tick late, at half speed.
    for (const auto& [bytes, fields] :
         {std::pair(narrow, std::array{12, 16, 20}), std::pair(wide, std::array{16, 24, 28})}) {
        for (const auto& [field, change] : {std::pair(0, 0), {0, -100}, {1, 1}, {2, -0x8000}}) {
            const QString path = dir.filePath(QString("%1-%2-%3.mp4").arg(bytes.size()).arg(field).arg(change));
            SCOPED_TRACE(path.toStdString());
            QByteArray copy = bytes;
            addTo32(copy, at + fields[size_t(field)], change, true);
            QFile out(path);
            ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(copy) == copy.size());
            out.close();
            EXPECT_EQ(mci::SampleHeadsAhead(path).editLists(),
                      change == 0 ? mci::EditLists::Simple : mci::EditLists::Full);
            expectTheIndexTheDemuxerGives(path);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, ContainerIndex, ::testing::ValuesIn(kMatrix),
                         [](const auto& info) { return std::string(info.param.name); });

// A copy of a movie whose header comes after its samples, its first track's chunk offsets of 64
// bits, as a file past 4 GB has them: the box and those around it grow, and nothing moves.
QString withWideChunkOffsets(const QString& path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = in.readAll();
    const qsizetype at = bytes.indexOf("stco");
    if (at < 4)
        return {};
    const quint32 count = qFromBigEndian<quint32>(bytes.constData() + at + 8);
    QByteArray wide("co64");
    wide += bytes.mid(at + 4, 8);
    for (quint32 i = 0; i < count; ++i) {
        char entry[8];
        qToBigEndian<quint64>(qFromBigEndian<quint32>(bytes.constData() + at + 12 + 4 * i), entry);
        wide += QByteArray(entry, 8);
    }
    bytes.replace(at, 12 + 4 * count, wide);
    growBoxes(bytes, at, 4 * count, {"co64", "stbl", "minf", "mdia", "trak", "moov"});
    const QString wider = QFileInfo(path).dir().filePath("wide-" + QFileInfo(path).fileName());
    QFile out(wider);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() ? wider : QString();
}

// The open checks the first packets and the last keyframe interval against the demuxer; a clip
// of several intervals has damage between them, where only the scan's own checks can see it.
// With sound beside the pictures, a movie's samples lie in many chunks, which its samples read
// ahead follow, H.264 or HEVC. A movie of varying frame durations that ends on B-pictures shows
// its last picture from a packet before the last, whose decode times do not say how long it lasts.
// In VP9 the demuxer's parser marks keyframes from the frame headers, whatever the table says.
// Samples of over 64 kB each (lossless noise) have their heads read one by one, not mapped.
TEST(ContainerIndexOfLongerClips, ofADamagedCopyIsTheIndexTheDemuxerGivesOrNone)
{
    QTemporaryDir dir;
    using fixtures::Container;
    using Options = std::vector<std::pair<const char*, const char*>>;
    const Options x264 = {{"x264-params", "keyint=30:min-keyint=30:scenecut=0"}};
    const Options trailingB = {{"x264-params", "keyint=30:min-keyint=30:scenecut=0:b-adapt=0:bframes=2"}};
    const Options x265 = {{"x265-params", "keyint=30:min-keyint=30:scenecut=0:bframes=3:log-level=none"},
                          {"preset", "ultrafast"}};
    const Options vpx = {{"deadline", "realtime"}, {"cpu-used", "8"}};
    const Options lossless = {{"x264-params", "keyint=30:min-keyint=30:scenecut=0:qp=0"}};
    const auto noisy = [](int n, QSize size) {
        QImage picture = fixtures::drawFrame(n, size);
        QRandomGenerator random(quint32(n) + 1);
        for (int y = size.height() / 2; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x)
                picture.setPixel(x, y, random.generate());
        }
        return picture;
    };
    for (const auto& [container, withAudio, encoder, name] :
         {std::tuple(Container::Mp4, false, "libx264", "long.mp4"),
          std::tuple(Container::Mkv, false, "libx264", "long.mkv"),
          std::tuple(Container::Mp4, true, "libx264", "sound.mp4"),
          std::tuple(Container::Mp4, true, "libx265", "hevc.mp4"),
          std::tuple(Container::Mp4, false, "libx264", "variable.mp4"),
          std::tuple(Container::Mp4, false, "libvpx-vp9", "vp9.mp4"),
          std::tuple(Container::Mp4, false, "libx264", "large.mp4")}) {
        fixtures::VideoSpec clip;
        clip.container = container;
        clip.codec = fixtures::VideoCodec::H264;
        clip.encoder = encoder;
        clip.frames = 150;
        clip.withAudio = withAudio;
        clip.variableFrameRate = std::strcmp(name, "variable.mp4") == 0;
        const bool vp9 = std::strcmp(encoder, "libvpx-vp9") == 0;
        const bool large = std::strcmp(name, "large.mp4") == 0;
        clip.encoderOptions = std::strcmp(encoder, "libx265") == 0 ? x265
                              : vp9                               ? vpx
                              : clip.variableFrameRate            ? trailingB
                              : large                             ? lossless
                                                                  : x264;
        if (large) {
            clip.draw = noisy;
            clip.size = QSize(480, 272);
        }
        clip.path = dir.filePath(name);
        ASSERT_TRUE(fixtures::writeVideo(clip, nullptr));
        std::vector<QString> paths = {clip.path};
        if (withAudio)
            paths.push_back(withWideChunkOffsets(clip.path));
        for (const QString& path : paths) {
            SCOPED_TRACE(path.toStdString());
            mci::SampleHeadsAhead ahead(path);
            auto demuxer = openDemuxer(path);
            ASSERT_TRUE(demuxer);
            const auto indexed = mci::indexFile(path, demuxer, {}, &ahead);
            ASSERT_TRUE(std::holds_alternative<mci::IndexedFile>(indexed));
            ASSERT_NE(std::get<mci::IndexedFile>(indexed).index.identity(), mci::PacketIdentity::Bytes)
                << "read through instead";
            EXPECT_EQ(ahead.taken(), container == Container::Mp4 && !vp9);
            expectDamagedCopiesGiveTheIndexTheDemuxerGives(path);
        }
    }
}

}  // namespace
