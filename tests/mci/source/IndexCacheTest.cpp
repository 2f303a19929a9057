// What a long open learns is kept: the second open of a file makes no index pass, a damaged or
// outdated entry is rebuilt, and a cancelled open keeps nothing.
#include "ContainerScan.h"
#include "IndexCache.h"
#include "SourceCounters.h"
#include "MediaGenerator.h"
#include "SourceErrors.h"
#include "SourceTestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

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

TEST_F(IndexCacheTest, anOpenCancelledThroughItsProgressFailsAndKeepsNothing)
{
    std::vector<double> reported;
    const auto cancelAtOnce = [&reported](double fraction) {
        reported.push_back(fraction);
        return false;
    };
    EXPECT_EQ(openFailureCode(m_path, cancelAtOnce), mci::MCIERR_SOURCE_CANCELLED);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_FALSE(QFile::exists(mci::IndexCache::entryPath(m_path)));

    reported.clear();
    const auto watch = [&reported](double fraction) {
        reported.push_back(fraction);
        return true;
    };
    EXPECT_EQ(openFailureCode(m_path, watch), 0u);
    ASSERT_FALSE(reported.empty());
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_GE(reported.front(), 0.0);
    EXPECT_LE(reported.back(), 1.0);
}

}  // namespace

namespace {

// An index read from the container's own structure (a table of samples, block headers) is the
// index the demuxer gives by reading the whole file, frame for frame; and the kinds of files
// whose structure tells every frame are read so.
class ContainerIndex : public ::testing::TestWithParam<MatrixClip> {};

TEST_P(ContainerIndex, isTheIndexTheDemuxerGives)
{
    using Kind = fixtures::ClipKind;
    const QString path = fixtures::clip(GetParam().kind);
    auto opened = std::get<std::unique_ptr<mci::Demuxer>>(mci::Demuxer::open(path));
    const mci::FrameIndex fast = std::get<mci::IndexedFile>(mci::indexFile(path, opened, {})).index;
    auto read = std::get<std::unique_ptr<mci::Demuxer>>(mci::Demuxer::open(path));
    auto through = std::get<mci::ContainerScan>(mci::scanThroughDemuxer(*read, {}));
    const mci::FrameIndex full(std::move(through.packets), mci::clockOf(*read));
    const std::set<Kind> structured = {Kind::H264Mp4, Kind::MjpegAvi, Kind::Portrait, Kind::PicturelessMp4,
                                       Kind::EditListMp4, Kind::ProRes, Kind::H264Mkv, Kind::LongStill, Kind::Vp9Live,
                                       Kind::Mpeg2Ts, Kind::CutTs, Kind::JoinedTs, Kind::PyramidM2ts};
    if (structured.count(GetParam().kind))
        ASSERT_NE(fast.identity(), mci::PacketIdentity::Bytes) << "read through instead";
    ASSERT_EQ(fast.frameCount(), full.frameCount());
    for (int n = 0; n <= full.frameCount(); ++n) {
        ASSERT_EQ(fast.frameStartUs(n), full.frameStartUs(n)) << "frame " << n;
        if (n == full.frameCount())
            break;
        ASSERT_EQ(fast.packetOfFrame(n), full.packetOfFrame(n)) << "frame " << n;
        ASSERT_EQ(fast.keyframePacketFor(n, 0), full.keyframePacketFor(n, 0)) << "frame " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, ContainerIndex, ::testing::ValuesIn(kMatrix),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
