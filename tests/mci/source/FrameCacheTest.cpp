// Decoded frames kept for back steps and steps ahead: what the cache evicts first, that a kept
// frame is exactly the one the decoder gives, and that a request decodes no more than the span
// from its keyframe.
#include "ContainerScan.h"
#include "DecodedFrameData.h"
#include "FrameCache.h"
#include "FrameIndex.h"
#include "LargePages.h"
#include "MediaGenerator.h"
#include "SourceCounters.h"
#include "SourceTestSupport.h"
#include "VideoDecoder.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QThread>

#include <sched.h>

#include <random>
#include <set>

using fixtures::ClipKind;
using namespace sourcetest;

namespace {

// A picture of 16x16, or of about 4 MB as 1440p video has.
std::shared_ptr<const mci::DecodedFrame> frameOf(int number, QSize size)
{
    auto data = std::make_unique<mci::DecodedFrame::Data>();
    data->frame.reset(av_frame_alloc());
    data->frame->width = size.width();
    data->frame->height = size.height();
    data->frame->format = AV_PIX_FMT_YUV420P;
    EXPECT_EQ(av_frame_get_buffer(data->frame.get(), 0), 0);
    data->number = number;
    return std::make_shared<const mci::DecodedFrame>(std::move(data));
}

std::shared_ptr<const mci::DecodedFrame> smallFrame(int number)
{
    return frameOf(number, QSize(16, 16));
}

std::shared_ptr<const mci::DecodedFrame> bigFrame(int number)
{
    return frameOf(number, QSize(2560, 1088));
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

    // Playing on, large pictures keep less than three seconds behind; and frames left far
    // ahead by an earlier loop of repeated playback go once it starts again.
    {
        mci::FrameCache large(qint64(1) << 40);
        for (int n = 0; n <= 300; ++n) {
            large.setFocus(n, +1);
            large.put(bigFrame(n));
        }
        EXPECT_LE(large.bytes(), mci::FrameCache::kKeptBehindForwardBytes + bigFrame(0)->bytes());
        EXPECT_LT(large.count(), mci::FrameCache::kKeptBehindForward / 2);
        large.setFocus(0, +1);
        large.put(bigFrame(0));
        EXPECT_EQ(large.count(), 1);
    }

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

// The index an open of the clip makes.
std::optional<mci::FrameIndex> indexOf(const QString& path)
{
    auto demuxer = sourcetest::openDemuxer(path);
    if (!demuxer)
        return std::nullopt;
    auto indexed = mci::indexFile(path, demuxer, {});
    auto* file = std::get_if<mci::IndexedFile>(&indexed);
    return file ? std::optional(std::move(file->index)) : std::nullopt;
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

// A source opened with a frame cache of `megabytes` (0: none).
std::unique_ptr<mci::MediaSource> openWithBudget(const QString& path, int megabytes)
{
    qputenv("TAVOLEN_FRAME_CACHE_MB", QByteArray::number(megabytes));
    auto source = openOrFail(path);
    qunsetenv("TAVOLEN_FRAME_CACHE_MB");
    return source;
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

// A jump to the last picture of an interval decodes only what that picture needs: no picture
// before it that nothing refers to (MPEG B-pictures, H.264 and HEVC non-reference pictures),
// where no cache keeps them; with a cache, when it is the first step back from a keyframe or a
// jump into the interval a fresh open decoded its first picture from, no more than the decoder
// reorders. The frames before it come exact, decoded ahead for the step back; a picture passed
// over is never given out for another.
TEST(Decoding, aJumpDecodesOnlyThePicturesItsFrameNeeds)
{
    CacheFolder folder;
    for (ClipKind kind : {ClipKind::Mpeg1Mpg, ClipKind::Mpeg2Ts, ClipKind::PackedAvi, ClipKind::H264Mp4,
                          ClipKind::PyramidM2ts, ClipKind::Hevc10OpenGop}) {
        const QString path = fixtures::clip(kind);
        auto demuxer = openDemuxer(path);
        ASSERT_TRUE(demuxer);
        // Indexed from every packet's bytes, which tell its kind (a container's tables do not).
        const auto index = std::optional(mci::FrameIndex(demuxedPackets(path), mci::clockOf(*demuxer)));
        const int second = index->frameOfPacket(index->keyframePacketFor(index->frameCount() - 1, 0));
        const int keyframe = index->frameOfPacket(std::max(index->keyframePacketFor(second - 1, 0), 0));
        const int target = second - 1;
        const int needed = index->picturesNeededFor(target);
        ASSERT_LT(needed, target - keyframe) << path.toStdString();  // there is something to pass over

        auto uncached = openWithBudget(path, 0);
        ASSERT_TRUE(uncached);
        const int before = mci::decodedFrameCount();
        EXPECT_EQ(barcodeOf(*uncached, target), target) << path.toStdString();
        EXPECT_LE(mci::decodedFrameCount() - before, needed) << path.toStdString();

        const int depth = reorderDepth(*index);
        auto source = openOrFail(path);
        ASSERT_TRUE(source);
        int firstEnd = 1;
        while (firstEnd < second && index->keyframePacketFor(firstEnd, 0) == index->keyframePacketFor(0, 0))
            ++firstEnd;
        const int beforeFirst = mci::decodedFrameCount();
        EXPECT_EQ(barcodeOf(*source, firstEnd - 1), firstEnd - 1);
        EXPECT_LE(mci::decodedFrameCount() - beforeFirst, index->picturesNeededFor(firstEnd - 1) + depth)
            << path.toStdString();
        EXPECT_EQ(barcodeOf(*source, second), second);
        const int beforeStep = mci::decodedFrameCount();
        EXPECT_EQ(barcodeOf(*source, target), target);
        EXPECT_LE(mci::decodedFrameCount() - beforeStep, needed + depth) << path.toStdString();
        source->prefetch(target, +1, {});
        EXPECT_TRUE(source->cachedFrame(target - 1));
        EXPECT_TRUE(source->cachedFrame(target + 1));
        for (int n = target - 1; n >= std::max(keyframe, target - 12); --n) {
            EXPECT_EQ(barcodeOf(*source, n), n) << path.toStdString();
            source->prefetch(n, -1, {});
        }
    }
}

// A decoder has a thread for every core the process may run on, and no more: what `taskset`
// leaves it, not what the machine has.
TEST(Decoding, decodingThreadsFollowTheCoresTheProcessMayRunOn)
{
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&one) == 0; ++cpu) {
        if (CPU_ISSET(cpu, &allowed))
            CPU_SET(cpu, &one);
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const int onOneCore = mci::VideoDecoder::decodingThreads();
    ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
    EXPECT_EQ(onOneCore, 1);
    EXPECT_EQ(mci::VideoDecoder::decodingThreads(), std::min(CPU_COUNT(&allowed), 16));
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
    // The first step, a jump, keeps a few steps' frames; decoding behind goes through its
    // interval again (the whole clip, where only the first picture is a keyframe).
    const auto index = indexOf(m_path);
    ASSERT_TRUE(index);
    const int lastInterval = count - index->frameOfPacket(std::max(index->keyframePacketFor(count - 1, 0), 0));
    EXPECT_LE(mci::decodedFrameCount() - before, std::max(count * 3 / 2, count + lastInterval)) << GetParam().name;
}

// Decoding ahead never costs more than what it leaves ready: with a budget of a few dozen
// pictures a back step still decodes a few pictures, not the keyframe interval of 250 before
// it; with no cache at all, decoding ahead decodes only the next frame, which the reader holds
// itself; and the budget is one for all sources and every picture held anywhere.
TEST(Decoding, decodingAheadCostsNoMoreThanTheBudgetKeeps)
{
    CacheFolder folder;
    const QString path = fixtures::clip(ClipKind::H264Mp4);  // keyframes at 0 and 250
    const auto walk = [](mci::MediaSource& source, int from, int steps, int direction) {
        const int before = mci::decodedFrameCount();
        for (int n = from, i = 0; i < steps; ++i, n += direction) {
            EXPECT_EQ(barcodeOf(source, n), n);
            source.prefetch(n, direction, {});
        }
        return mci::decodedFrameCount() - before;
    };
    {
        auto small = openWithBudget(path, 3);  // about 25 pictures of 320x240
        ASSERT_TRUE(small);
        EXPECT_LE(walk(*small, 299, 80, -1), 80 * 20);
    }
    {
        auto none = openWithBudget(path, 0);
        ASSERT_TRUE(none);
        walk(*none, 200, 1, +1);  // positioned after a jump
        EXPECT_LE(walk(*none, 201, 20, +1), 20 + 4);
        none->frame(100);
        const int before = mci::decodedFrameCount();
        none->prefetch(100, -1, {});
        EXPECT_EQ(mci::decodedFrameCount(), before);
    }

    // Two sources and pictures held outside both: together within one budget.
    auto first = openWithBudget(path, 4), second = openWithBudget(path, 4);
    ASSERT_TRUE(first && second);
    std::vector<std::shared_ptr<const mci::DecodedFrame>> held;
    for (int n = 0; n < 10; ++n)
        held.push_back(first->frame(n));
    const qint64 budget = 4 << 20, slack = 3 * held.front()->bytes();
    walk(*first, 240, 40, -1);
    EXPECT_LE(mci::DecodedFrame::bytesAlive(), budget + slack);
    walk(*second, 299, 40, -1);
    EXPECT_LE(mci::DecodedFrame::bytesAlive(), budget + slack);
}

// Holding Back, each step comes as soon as the decoding behind the last one has sought its
// keyframe, and stops it, or before that decoding has even begun. Stopped then, that decoding
// left nothing to go on from, and so did one stopped before it gave out a picture; and a step
// missing from the cache was taken for a jump: every such step brought eight frames, a keyframe
// interval decoded for each eight steps. So was one after steps the cache answered without the
// reader (as the player takes kept frames).
TEST(Decoding, holdingBackThatStopsTheDecodingBehindAtEveryStepSeeksEachIntervalOnce)
{
    CacheFolder folder;
    enum class Steps { BehindBegins, BehindNeverBegins, CacheAnswers };
    for (const Steps steps : {Steps::BehindBegins, Steps::BehindNeverBegins, Steps::CacheAnswers}) {
        auto source = openOrFail(fixtures::clip(ClipKind::H264Mp4));  // keyframes at 0 and 250
        ASSERT_TRUE(source);
        ASSERT_EQ(barcodeOf(*source, 295), 295);
        const int seeks = mci::decoderSeekCount();
        for (int n = 294; n >= 255; --n) {
            const int sought = mci::decoderSeekCount();
            source->prefetch(n + 1, -1, [&] {
                return steps != Steps::BehindBegins || mci::decoderSeekCount() > sought;
            });
            if (steps != Steps::CacheAnswers || !source->cachedFrame(n)) {
                ASSERT_EQ(barcodeOf(*source, n), n);
            }
        }
        // This interval, and ahead the one before.
        EXPECT_LE(mci::decoderSeekCount() - seeks, 2) << int(steps);
    }
    // Right after a jump late in a long interval, the steps wait for the span they need, not
    // for the whole interval before it: the pictures before that span that nothing refers to
    // are passed over, as the jump passed them.
    auto source = openOrFail(fixtures::clip(ClipKind::H264Mp4));
    ASSERT_TRUE(source);
    ASSERT_EQ(barcodeOf(*source, 240), 240);
    const int decoded = mci::decodedFrameCount();
    for (int n = 239; n >= 200; --n) {
        source->prefetch(n + 1, -1, [] { return true; });
        ASSERT_EQ(barcodeOf(*source, n), n);
    }
    // Frames 0..231 decoded whole would be 232 pictures; half of those before the span are
    // passed over.
    EXPECT_LE(mci::decodedFrameCount() - decoded, 232 * 9 / 10);

    // So does the held step into the interval before, whether decoding behind had sought its
    // keyframe (each step comes as soon as it has done anything) or not: not the whole interval
    // kept first.
    for (const bool behindBegins : {true, false}) {
        auto across = openOrFail(fixtures::clip(ClipKind::H264Mp4));
        ASSERT_TRUE(across);
        ASSERT_EQ(barcodeOf(*across, 262), 262);
        for (int n = 261; n >= 249; --n) {
            const int sought = mci::decoderSeekCount(), decodedBefore = mci::decodedFrameCount();
            across->prefetch(n + 1, -1, [&] {
                return !behindBegins || mci::decoderSeekCount() > sought
                    || mci::decodedFrameCount() > decodedBefore;
            });
            const int beforeStep = mci::decodedFrameCount();
            ASSERT_EQ(barcodeOf(*across, n), n);
            if (n == 249) {
                EXPECT_LE(mci::decodedFrameCount() - beforeStep, 250 * 9 / 10) << behindBegins;
            }
        }
        for (int n = 248; n >= 200; --n)
            ASSERT_EQ(barcodeOf(*across, n), n);
    }
}

// Several sources open: the cache of one left idle gives way to the one in use, whose back
// steps then decode about as many pictures as they do with the budget to themselves.
TEST(Decoding, anIdleSourcesCacheGivesWayToTheOneInUse)
{
    CacheFolder folder;
    const QString path = fixtures::clip(ClipKind::H264Mp4);  // keyframes at 0 and 250
    const auto stepBack = [](mci::MediaSource& source, int from, int steps) {
        const int before = mci::decodedFrameCount();
        for (int n = from, i = 0; i < steps; ++i, --n) {
            EXPECT_EQ(barcodeOf(source, n), n);
            source.prefetch(n, -1, {});
        }
        return mci::decodedFrameCount() - before;
    };
    int alone = 0;
    {
        auto only = openWithBudget(path, 6);
        ASSERT_TRUE(only);
        alone = stepBack(*only, 299, 45);
    }
    auto idle = openWithBudget(path, 6);
    ASSERT_TRUE(idle);
    stepBack(*idle, 240, 45);  // its cache fills the budget, then it rests
    auto inUse = openWithBudget(path, 6);
    ASSERT_TRUE(inUse);
    EXPECT_LE(stepBack(*inUse, 299, 45), alone + alone / 4 + 10) << "alone: " << alone;
}

// Resident memory of the process, in bytes.
qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/statm"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    return status.readAll().split(' ').value(1).toLongLong() * 4096;
}

// Frames the cache lets go give their memory back: the decoder's own pool kept every picture
// it had handed out until the file closed.
TEST(Decoding, framesLetGoGiveTheirMemoryBack)
{
    CacheFolder folder;
    auto source = openOrFail(fixtures::clip(ClipKind::H264Mkv));  // 300 frames of 112 kB
    ASSERT_TRUE(source);
    for (int n = 299; n >= 0; --n) {
        ASSERT_TRUE(source->frame(n));
        source->prefetch(n, -1, {});
    }
    const qint64 kept = residentBytes();
    ASSERT_TRUE(source->frame(299));  // playing on from the end: what lies far behind goes
    EXPECT_LT(residentBytes(), kept - 15 * 1024 * 1024);
}

// A span of pictures to be kept is decoded into memory written ahead where it was asked for in
// time, and into memory the decoder maps on its way where it was not.
TEST(Decoding, picturesAskedForAheadFindTheirMemoryWritten)
{
    const auto settled = [] {
        for (int waited = 0; mci::PictureBuffers::preparing() && waited < 3000; ++waited)
            QThread::msleep(20);
        return !mci::PictureBuffers::preparing();
    };
    ASSERT_TRUE(settled());
    mci::PictureBuffers::giveBackKeptBlocks();
    auto demuxer = openDemuxer(fixtures::clip(ClipKind::H264Mkv));  // 300 pictures, 67 a block
    ASSERT_TRUE(demuxer);
    demuxer->keepOnly(demuxer->videoStream());
    auto created = mci::VideoDecoder::create(demuxer->stream(demuxer->videoStream()), demuxer->videoParameters());
    auto* decoder = std::get_if<std::unique_ptr<mci::VideoDecoder>>(&created);
    ASSERT_TRUE(decoder);
    mci::PacketPtr packet(av_packet_alloc());
    std::vector<mci::FramePtr> held;  // as the cache holds them
    const auto mappedWhileHolding = [&](size_t count) {
        const int before = mci::PictureBuffers::blocksMappedOnTheWay();
        for (const size_t goal = held.size() + count; held.size() < goal;) {
            mci::FramePtr picture(av_frame_alloc());
            if ((*decoder)->receive(picture.get()) == 0)
                held.push_back(std::move(picture));
            else if (demuxer->read(packet.get()) < 0 || (*decoder)->send(packet.get()) < 0)
                return -1;
            av_packet_unref(packet.get());
        }
        return mci::PictureBuffers::blocksMappedOnTheWay() - before;
    };
    EXPECT_GT(mappedWhileHolding(100), 0);
    (*decoder)->prepare(150);
    ASSERT_TRUE(settled());
    EXPECT_EQ(mappedWhileHolding(150), 0);
}

// Mappings kept for the next taker: the most recent of the size asked for comes first, the
// oldest go past the bound, which is read at every change (it follows the picture budget's
// setting), and room() never promises more than the bound and the count leave.
TEST(KeptMappings, keepWithinBoundsThatFollowTheirSetting)
{
    static size_t bound = 0;
    mci::KeptMappings kept([] { return bound; }, 3);
    const size_t small = 2 * mci::kPage, large = 3 * mci::kPage;
    bound = 8 * mci::kPage;
    uint8_t* const first = mci::mapLargePages(small);
    uint8_t* const second = mci::mapLargePages(small);
    kept.keep(first, small);
    kept.keep(second, small);
    EXPECT_EQ(kept.count(small), 2u);
    EXPECT_EQ(kept.room(small), 1u);  // room for two by bytes, for one by count
    EXPECT_EQ(kept.room(large), 1u);
    EXPECT_EQ(kept.take(large), nullptr);
    EXPECT_EQ(kept.take(small), second);
    kept.keep(second, small);
    bound = 4 * mci::kPage;  // the setting lowered: the next change gives back the oldest
    kept.keep(mci::mapLargePages(mci::kPage), mci::kPage);
    EXPECT_EQ(kept.count(small), 1u);
    EXPECT_EQ(kept.take(small), second);
    EXPECT_EQ(kept.room(large), 1u);
    EXPECT_EQ(kept.room(small), 1u);
    bound = 0;
    EXPECT_EQ(kept.room(mci::kPage), 0u);
    mci::unmapLargePages(second, small);
    kept.giveBackAll();
}

// Playing on through frames kept from holding Back finds them without decoding; the decoding
// ahead between them goes at once to the first frame after them, so that it is ready long
// before its turn instead of costing a keyframe interval then. And a file that stops reading
// serves no picture kept from it any more, whether a request or decoding ahead finds it out.
TEST(Decoding, playingOnAfterBackFindsTheDecoderReadyAndAFailureKeepsNothing)
{
    CacheFolder folder;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("clip.mp4"));
    ASSERT_TRUE(QFile::copy(fixtures::clip(ClipKind::H264Mp4), path));  // keyframes at 0 and 250
    auto source = openOrFail(path);
    ASSERT_TRUE(source);
    for (int n = 289; n >= 270; --n) {
        ASSERT_EQ(barcodeOf(*source, n), n);
        source->prefetch(n, -1, {});
    }
    int firstUncached = 290;
    while (firstUncached < 299 && source->cachedFrame(firstUncached))
        ++firstUncached;
    ASSERT_FALSE(source->cachedFrame(firstUncached));
    ASSERT_TRUE(source->frame(270));
    source->prefetch(270, +1, {});
    EXPECT_TRUE(source->cachedFrame(firstUncached));

    auto failing = openOrFail(path);
    ASSERT_TRUE(failing && failing->frame(280));
    failing->prefetch(280, +1, {});
    ASSERT_TRUE(QFile::resize(path, 0));
    failing->prefetch(250, -1, {});  // the interval before 250 cannot be read
    EXPECT_FALSE(failing->cachedFrame(280));
    EXPECT_FALSE(failing->frame(281));  // the frame decoded ahead last
    EXPECT_FALSE(source->frame(100));
    EXPECT_FALSE(source->frame(290));  // decoded ahead last, and kept
}

INSTANTIATE_TEST_SUITE_P(Clips, Decoding, ::testing::ValuesIn(kMatrix),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
