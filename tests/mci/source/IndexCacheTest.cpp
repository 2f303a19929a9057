// What a long open learns is kept: the second open of a file makes no index pass, a damaged or
// outdated entry is rebuilt, and a cancelled open keeps nothing.
#include "ContainerScan.h"
#include "IndexCache.h"
#include "SampleTable.h"
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

// An index read from the container's own structure is the index the demuxer gives by reading
// the whole file, frame for frame; and the kinds of files whose tables list every frame are
// read so.
class ContainerIndex : public ::testing::TestWithParam<MatrixClip> {};

std::optional<mci::FrameIndex> indexOf(mci::ContainerScan scan, const mci::Demuxer& demuxer, bool trusted)
{
    if (scan.outcome != mci::ContainerScan::Outcome::Done || !trusted)
        return std::nullopt;
    const AVStream* stream = demuxer.stream(demuxer.videoStream());
    mci::StreamClock clock{stream->time_base.num, stream->time_base.den, 33'333, demuxer.clockMayRestart(), false,
                           scan.identity};
    return mci::FrameIndex(std::move(scan.packets), clock);
}

TEST_P(ContainerIndex, isTheIndexTheDemuxerGives)
{
    const QString path = fixtures::clip(GetParam().kind);
    auto read = std::get<std::unique_ptr<mci::Demuxer>>(mci::Demuxer::open(path));
    auto scanned = std::get<std::unique_ptr<mci::Demuxer>>(mci::Demuxer::open(path));
    auto through = std::get<mci::ContainerScan>(mci::scanThroughDemuxer(*read, {}));
    mci::ContainerScan table = mci::readSampleTable(path, *scanned);
    const bool trusted = table.outcome == mci::ContainerScan::Outcome::Done && mci::agreesWithDemuxer(table, *scanned);
    const auto fast = indexOf(std::move(table), *scanned, trusted);
    const auto full = indexOf(std::move(through), *read, true);
    const std::set<fixtures::ClipKind> tabled = {fixtures::ClipKind::H264Mp4, fixtures::ClipKind::MjpegAvi,
                                                 fixtures::ClipKind::Portrait, fixtures::ClipKind::PicturelessMp4,
                                                 fixtures::ClipKind::EditListMp4, fixtures::ClipKind::ProRes};
    if (tabled.count(GetParam().kind))
        ASSERT_TRUE(fast) << "read through instead";
    if (!fast)
        return;
    ASSERT_EQ(fast->frameCount(), full->frameCount());
    for (int n = 0; n <= full->frameCount(); ++n) {
        ASSERT_EQ(fast->frameStartUs(n), full->frameStartUs(n)) << "frame " << n;
        if (n == full->frameCount())
            break;
        ASSERT_EQ(fast->packetOfFrame(n), full->packetOfFrame(n)) << "frame " << n;
        ASSERT_EQ(fast->keyframePacketFor(n, 0), full->keyframePacketFor(n, 0)) << "frame " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, ContainerIndex, ::testing::ValuesIn(kMatrix),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
