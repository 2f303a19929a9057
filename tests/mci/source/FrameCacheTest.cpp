// Decoded frames kept for back steps and steps ahead: what the cache evicts first, that a kept
// frame is exactly the one the decoder gives, and that a request decodes no more than the span
// from its keyframe.
#include "DecodedFrameData.h"
#include "FrameCache.h"
#include "FrameIndex.h"
#include "IndexCache.h"
#include "MediaGenerator.h"
#include "SourceCounters.h"
#include "SourceTestSupport.h"

#include <gtest/gtest.h>

#include <QHash>

#include <random>
#include <set>

using fixtures::ClipKind;
using namespace sourcetest;

namespace {

std::shared_ptr<const mci::DecodedFrame> smallFrame(int number)
{
    auto data = std::make_unique<mci::DecodedFrame::Data>();
    data->frame.reset(av_frame_alloc());
    data->frame->width = 16;
    data->frame->height = 16;
    data->frame->format = AV_PIX_FMT_YUV420P;
    EXPECT_EQ(av_frame_get_buffer(data->frame.get(), 0), 0);
    data->number = number;
    return std::make_shared<const mci::DecodedFrame>(std::move(data));
}

std::set<int> cachedNumbers(const mci::FrameCache& cache, int upTo)
{
    std::set<int> kept;
    for (int n = 0; n <= upTo; ++n) {
        if (cache.find(n))
            kept.insert(n);
    }
    return kept;
}

// Frames 0..9 are put in with room for five, the user at `focus` going `direction`.
TEST(FrameCache, evictsBehindTheTravelFirstThenTheFarthestAhead)
{
    struct Case {
        int focus;
        int direction;
        std::set<int> kept;
    };
    const Case cases[] = {
        {9, +1, {5, 6, 7, 8, 9}},  // playing or stepping on: the oldest go
        {5, +1, {5, 6, 7, 8, 9}},
        {5, -1, {1, 2, 3, 4, 5}},  // stepping back: what lies after the user goes first
        {0, -1, {0, 1, 2, 3, 4}},  // nothing behind: the farthest ahead goes
        {2, +1, {2, 3, 4, 5, 6}},
    };
    const qint64 oneFrame = smallFrame(0)->bytes();
    for (const Case& c : cases) {
        mci::FrameCache cache(5 * oneFrame);
        cache.setFocus(c.focus, c.direction);
        for (int n = 0; n < 10; ++n)
            cache.put(smallFrame(n));
        EXPECT_EQ(cachedNumbers(cache, 9), c.kept) << "focus " << c.focus << " direction " << c.direction;
        EXPECT_LE(cache.bytes(), 5 * oneFrame);
    }

    // Playing on, only the last three seconds stay behind, whatever the room.
    mci::FrameCache playing(1000 * oneFrame);
    playing.setFocus(200, +1);
    for (int n = 0; n <= 200; ++n)
        playing.put(smallFrame(n));
    EXPECT_EQ(playing.count(), mci::FrameCache::kKeptBehindForward + 1);
    EXPECT_TRUE(playing.find(200 - mci::FrameCache::kKeptBehindForward));

    mci::FrameCache off(0);
    off.put(smallFrame(3));
    EXPECT_EQ(off.count(), 0);

    mci::FrameCache runs(100 * oneFrame);
    for (int n : {2, 3, 4, 6, 7})
        runs.put(smallFrame(n));
    EXPECT_EQ(runs.cachedRunStart(4), 2);
    EXPECT_EQ(runs.cachedRunStart(7), 6);
    EXPECT_EQ(runs.cachedRunStart(5), 6);  // not cached itself
    runs.clear();
    EXPECT_EQ(runs.count(), 0);
    EXPECT_EQ(runs.bytes(), 0);
}

// The source's own index of a clip, read back from the cache folder its open filled.
std::optional<mci::FrameIndex> indexOf(const QString& path)
{
    for (int stream = 0; stream < 4; ++stream) {
        if (auto index = mci::IndexCache::load(path, stream))
            return index;
    }
    return std::nullopt;
}

// The most frames a decoder gives out ahead of one it still has to show: pictures decoded
// earlier but presented later.
int reorderDepth(const mci::FrameIndex& index)
{
    int depth = 0;
    std::vector<int> decoded;
    for (int i = 0; i < index.packetCount(); ++i) {
        const int frame = index.frameOfPacket(i);
        if (frame < 0)
            continue;
        depth = std::max(depth, int(std::count_if(decoded.begin(), decoded.end(), [&](int f) { return f > frame; })));
        decoded.push_back(frame);
    }
    return depth;
}

class Decoding : public ::testing::TestWithParam<MatrixClip> {
protected:
    void SetUp() override
    {
        QString error;
        m_path = fixtures::clip(GetParam().kind, &error);
        ASSERT_FALSE(m_path.isEmpty()) << error.toStdString();
    }
    CacheFolder m_cache;
    QString m_path;
};

// Every jump decodes at most the frames from the keyframe that governs its target, plus the
// decoder's reordering: a seek that lands a keyframe early, or restarts needlessly, breaks it.
TEST_P(Decoding, aRequestDecodesNoMoreThanTheSpanFromItsKeyframe)
{
    auto source = openOrFail(m_path);
    ASSERT_TRUE(source);
    const auto index = indexOf(m_path);
    ASSERT_TRUE(index);
    const int depth = reorderDepth(*index);
    const int count = source->info().frameCount;
    std::mt19937 random(7u + unsigned(GetParam().kind));
    for (int i = 0; i < 40; ++i) {
        const int n = i == 0 ? count - 1 : int(random() % unsigned(count));
        const int key = index->keyframePacketFor(n, 0);
        const int bound = (n - (key >= 0 ? index->frameOfPacket(key) : 0)) + depth + 1;
        const int before = mci::decodedFrameCount();
        const auto frame = source->frame(n);
        ASSERT_TRUE(frame) << n;
        EXPECT_LE(mci::decodedFrameCount() - before, bound) << GetParam().name << " frame " << n;
    }
}

// A jump in MPEG video passes over the B-pictures before its frame (no picture refers to
// them), and decoding ahead afterwards brings them in for the step back.
TEST(Decoding, aJumpInMpegVideoPassesOverPicturesNobodyRefersTo)
{
    CacheFolder folder;
    for (ClipKind kind : {ClipKind::Mpeg1Mpg, ClipKind::Mpeg2Ts}) {
        auto source = openOrFail(fixtures::clip(kind));
        ASSERT_TRUE(source);
        const int target = 15 + 13;  // late in the second keyframe interval of 15
        const int before = mci::decodedFrameCount();
        EXPECT_EQ(barcodeOf(*source, target), target);
        EXPECT_LT(mci::decodedFrameCount() - before, 10);  // not the 14 frames from the keyframe
        source->prefetch(target, +1, {});
        EXPECT_TRUE(source->cachedFrame(target - 1));
        EXPECT_TRUE(source->cachedFrame(target + 1));
        EXPECT_EQ(barcodeOf(*source, target - 1), target - 1);
    }
}

// Stepping back through the whole clip with the decoding ahead a player does between steps:
// every frame is exactly the one a plain forward pass without any cache gives, and each frame
// is decoded about once, not once per step.
TEST_P(Decoding, keptFramesAreTheDecodersOwnAndBackStepsDecodeEachFrameAboutOnce)
{
    const QByteArray previous = qgetenv("TAVOLEN_FRAME_CACHE_MB");
    qputenv("TAVOLEN_FRAME_CACHE_MB", "0");
    auto plain = openOrFail(m_path);
    qputenv("TAVOLEN_FRAME_CACHE_MB", previous);
    auto cached = openOrFail(m_path);
    ASSERT_TRUE(plain && cached);
    const int count = plain->info().frameCount;
    const auto picture = [](const std::shared_ptr<const mci::DecodedFrame>& frame) {
        if (!frame)
            return size_t(0);
        const QImage image = frame->toImage(frame->size());
        return size_t(qHashBits(image.constBits(), size_t(image.sizeInBytes())));
    };
    std::vector<size_t> expected;
    for (int n = 0; n < count; ++n)
        expected.push_back(picture(plain->frame(n)));

    const int before = mci::decodedFrameCount();
    int mismatches = 0;
    for (int n = count - 1; n >= 0; --n) {
        const bool damaged = GetParam().endsDamaged && n == count - 1;
        if (picture(cached->frame(n)) != expected[size_t(n)] && !damaged && ++mismatches <= 5)
            ADD_FAILURE() << GetParam().name << ": kept frame " << n << " differs from the decoder's";
        cached->prefetch(n, -1, {});
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_LE(mci::decodedFrameCount() - before, count * 3 / 2) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Clips, Decoding, ::testing::ValuesIn(kMatrix),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
