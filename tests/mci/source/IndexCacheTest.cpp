// What a long open learns is kept: the second open of a file makes no index pass, a damaged or
// outdated entry is rebuilt, and a cancelled open keeps nothing.
#include "IndexCache.h"
#include "SourceCounters.h"
#include "MediaGenerator.h"
#include "SourceErrors.h"
#include "SourceTestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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
