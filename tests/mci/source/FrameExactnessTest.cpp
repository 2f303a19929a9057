// The product's core promise: frame n is the n-th frame in presentation order, whatever the
// container, codec, B-frames or frame rate, however it is reached. Every clip's frames carry
// their own number as a barcode, so a wrong frame names itself; what frame n must show is what
// an independent decode of the whole file shows as its n-th picture.
#include "Barcode.h"
#include "MediaGenerator.h"
#include "SourceCounters.h"
#include "SourceTestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

using fixtures::ClipKind;
using namespace sourcetest;

namespace {

// Counts checks and mismatches and reports them, so a run shows the matrix numbers.
class Tally {
public:
    explicit Tally(const char* what) : m_what(what) {}
    ~Tally()
    {
        std::printf("[matrix] %s %s: %d checks, %d mismatches\n", m_clip.c_str(), m_what, m_checks, m_mismatches);
    }
    void setClip(const char* clip) { m_clip = clip; }
    void check(int wanted, int got, const char* how)
    {
        ++m_checks;
        if (wanted == got)
            return;
        ++m_mismatches;
        if (m_mismatches <= 10)
            ADD_FAILURE() << m_clip << ": " << how << " to the picture numbered " << wanted << " showed " << got;
    }
    int mismatches() const { return m_mismatches; }

private:
    const char* m_what;
    std::string m_clip;
    int m_checks = 0;
    int m_mismatches = 0;
};

class FrameExactness : public ::testing::TestWithParam<MatrixClip> {
protected:
    void SetUp() override
    {
        QString error;
        m_path = fixtures::clip(GetParam().kind, &error);
        ASSERT_FALSE(m_path.isEmpty()) << error.toStdString();
        m_source = openOrFail(m_path);
        ASSERT_TRUE(m_source);
        m_reference = &referenceOf(m_path);
    }

    int expected(int n) const { return m_reference->numbers[size_t(n)]; }

    CacheFolder m_cache;
    QString m_path;
    std::unique_ptr<mci::MediaSource> m_source;
    const Reference* m_reference = nullptr;
};

TEST_P(FrameExactness, countsEveryFrameAndTimesThemInOrder)
{
    const mci::MediaInfo& info = m_source->info();
    EXPECT_TRUE(info.hasVideo);
    ASSERT_EQ(info.frameCount, int(m_reference->numbers.size()));
    EXPECT_EQ(std::count(m_reference->numbers.begin(), m_reference->numbers.end(), -1), 0);
    EXPECT_EQ(info.naturalSize, m_reference->shownSize);
    EXPECT_EQ(m_source->frameStartUs(0), 0);
    for (int n = 0; n < info.frameCount; ++n) {
        ASSERT_LT(m_source->frameStartUs(n), m_source->frameStartUs(n + 1)) << "frame " << n;
        if (GetParam().times == MatrixClip::Times::Stamps)
            EXPECT_NEAR(m_source->frameStartUs(n), (m_reference->ptsMs[size_t(n)] - m_reference->ptsMs[0]) * 1000, 1000);
        if (GetParam().times == MatrixClip::Times::Nominal)
            EXPECT_EQ(m_source->frameStartUs(n), n * m_source->frameStartUs(1));
        // Every instant of a frame's time shows that frame.
        EXPECT_EQ(m_source->frameAtUs(m_source->frameStartUs(n)), n);
        EXPECT_EQ(m_source->frameAtUs(m_source->frameStartUs(n + 1) - 1), n);
    }
    EXPECT_EQ(m_source->frameStartUs(info.frameCount), info.durationUs);
    EXPECT_EQ(m_source->frameAtUs(-1), 0);
    EXPECT_EQ(m_source->frameAtUs(info.durationUs + 1'000'000), info.frameCount - 1);
}

TEST_P(FrameExactness, showsEveryFrameInOrder)
{
    Tally tally("sequential");
    tally.setClip(GetParam().name);
    for (int n = 0; n < m_source->info().frameCount; ++n)
        tally.check(expected(n), barcodeOf(*m_source, n), "reading on");
    EXPECT_EQ(tally.mismatches(), 0);
    EXPECT_EQ(m_source->frame(m_source->info().frameCount), nullptr);
    EXPECT_EQ(m_source->frame(-1), nullptr);
}

// Random jumps, steps and back steps, as a user scrubbing and stepping through the clip.
TEST_P(FrameExactness, landsExactlyOnRandomSeeksStepsAndBackSteps)
{
    Tally tally("random");
    tally.setClip(GetParam().name);
    const int count = m_source->info().frameCount;
    const int operations = longRun() ? 3000 : 150;
    std::mt19937 random(20261207u + unsigned(GetParam().kind));
    int at = 0;
    for (int i = 0; i < operations; ++i) {
        const char* how = "seeking";
        switch (random() % 6) {
        case 0: case 1: at = int(random() % unsigned(count)); break;
        case 2: at = std::min(at + 1 + int(random() % 3), count - 1); how = "stepping"; break;
        case 3: at = std::max(at - 1 - int(random() % 3), 0); how = "stepping back"; break;
        case 4: at = std::max(at - 1, 0); how = "stepping back"; break;
        default: at = random() % 2 ? 0 : count - 1; break;
        }
        tally.check(expected(at), barcodeOf(*m_source, at), how);
    }
    EXPECT_EQ(tally.mismatches(), 0);
}

// Stepping back one frame at a time through the whole clip: every step lands before the
// keyframe that governs the frame after it, the hardest case for open GOPs.
TEST_P(FrameExactness, stepsBackThroughTheWholeClip)
{
    Tally tally("back steps");
    tally.setClip(GetParam().name);
    const int count = m_source->info().frameCount;
    const int stride = longRun() ? 1 : std::max(1, count / 40);
    for (int n = count - 1; n >= 0; n -= stride)
        tally.check(expected(n), barcodeOf(*m_source, n), "stepping back");
    EXPECT_EQ(tally.mismatches(), 0);
}

INSTANTIATE_TEST_SUITE_P(Clips, FrameExactness, ::testing::ValuesIn(kMatrix),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Reading on is what playback does, frame after frame: it must never restart the decoder, and
// neither must a back step onto a frame just decoded.
TEST(FrameReading, readingOnNeverSeeksAndSteppingBackDoes)
{
    CacheFolder cache;
    auto source = openOrFail(fixtures::clip(ClipKind::H264Mp4));
    ASSERT_TRUE(source);
    // The first frame, a keyframe asked for right after a seek, is drained out of the decoder
    // at once; reading on restarts once, with frame 1.
    ASSERT_TRUE(source->frame(0));
    ASSERT_TRUE(source->frame(1));
    const int afterFirst = mci::decoderSeekCount();
    for (int n = 2; n < source->info().frameCount; ++n)
        ASSERT_TRUE(source->frame(n)) << n;
    EXPECT_EQ(mci::decoderSeekCount(), afterFirst);

    ASSERT_TRUE(source->frame(120));
    const int afterJump = mci::decoderSeekCount();
    for (int n = 121; n < 130; ++n)
        ASSERT_TRUE(source->frame(n));
    EXPECT_EQ(mci::decoderSeekCount(), afterJump);
    // The same frame again, and a back step within what was just decoded, are kept frames.
    const int decoded = mci::decodedFrameCount();
    EXPECT_EQ(source->frame(129), source->frame(129));
    EXPECT_EQ(barcodeOf(*source, 128), 128);
    EXPECT_EQ(mci::decoderSeekCount(), afterJump);
    EXPECT_EQ(mci::decodedFrameCount(), decoded);

    // Without kept frames a back step restarts at the keyframe.
    qputenv("TAVOLEN_FRAME_CACHE_MB", "0");
    auto uncached = openOrFail(fixtures::clip(ClipKind::H264Mp4));
    qunsetenv("TAVOLEN_FRAME_CACHE_MB");
    ASSERT_TRUE(uncached && uncached->frame(129));
    const int beforeBack = mci::decoderSeekCount();
    EXPECT_EQ(barcodeOf(*uncached, 128), 128);
    EXPECT_GT(mci::decoderSeekCount(), beforeBack);
}

// Program streams joined end to end, sound only in the middle one: the sound stream appears
// after the container's first look at the start and its last look at the end, and none of
// its packets is a frame.
TEST(FrameReading, aStreamThatAppearsLaterIsNoPartOfTheVideo)
{
    CacheFolder cache;
    QTemporaryDir dir;
    fixtures::VideoSpec silent;
    silent.path = dir.filePath(QStringLiteral("silent.mpg"));
    silent.frames = 300;  // longer than either look
    QString error;
    ASSERT_TRUE(fixtures::writeVideo(silent, &error)) << error.toStdString();
    QFile outer(silent.path), middle(fixtures::clip(ClipKind::WithSound));
    ASSERT_TRUE(outer.open(QIODevice::ReadOnly) && middle.open(QIODevice::ReadOnly));
    const QByteArray silentBytes = outer.readAll();
    const QString joined = dir.filePath(QStringLiteral("joined.mpg"));
    QFile out(joined);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(silentBytes + middle.readAll() + silentBytes);
    out.close();

    auto source = openOrFail(joined);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->info().frameCount, 600 + fixtures::clipFrameCount(ClipKind::WithSound));
}

// Files whose container says wrong things of a few pictures, as damage leaves them: a block
// time moved 20 s ahead (the decoder gives that picture out where it is, long before its
// number); a keyframe table entry moved onto a picture no decoder can begin at (an MPEG-2
// P-picture, the I-picture before it unlisted; an HEVC picture that refers to others); MPEG-2
// pictures timed in decode order (the frames follow the decoder, which shows each B-picture
// before the reference decoded ahead of it). Every frame still comes, and the same whether
// stepped to or sought.
TEST(FrameReading, damagedTimesAndKeyframeTablesLoseNoFrame)
{
    CacheFolder cache;
    QTemporaryDir dir;
    fixtures::VideoSpec moved, mpeg2, hevc, decodeOrder;
    moved.container = decodeOrder.container = fixtures::Container::Mkv;
    moved.codec = fixtures::VideoCodec::H264;
    moved.gop = 250;
    moved.movedPacket = 41;
    mpeg2.container = hevc.container = fixtures::Container::Mp4;
    mpeg2.codec = decodeOrder.codec = fixtures::VideoCodec::Mpeg2;
    decodeOrder.timesInDecodeOrder = true;
    hevc.encoder = "libx265";
    hevc.encoderOptions = {{"x265-params", "keyint=15:min-keyint=15:scenecut=0:bframes=3:log-level=none"},
                           {"preset", "ultrafast"}};
    struct Case {
        fixtures::VideoSpec clip;
        int entry, by;  // which entry of the keyframe table is moved on by how many samples
        bool inOrder = false;  // frame n shows picture n
    };
    for (Case c : {Case{moved, -1, 0}, Case{mpeg2, 0, 1}, Case{hevc, 1, 2}, Case{decodeOrder, -2, 0, true}}) {
        c.clip.path = dir.filePath(QStringLiteral("damaged%1.%2").arg(c.entry).arg(c.entry < 0 ? "mkv" : "mp4"));
        c.clip.frames = 89;  // prime: i * 37 % 89 asks for every frame once, in jumps
        QString error;
        ASSERT_TRUE(fixtures::writeVideo(c.clip, &error)) << error.toStdString();
        QFile file(c.clip.path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        if (const qsizetype at = bytes.indexOf("stss") + 12 + 4 * c.entry; c.entry >= 0 && at > 12)
            qToBigEndian<quint32>(qFromBigEndian<quint32>(bytes.constData() + at) + c.by, bytes.data() + at);
        ASSERT_TRUE(file.seek(0) && file.write(bytes) == bytes.size());
        file.close();

        auto stepping = openOrFail(c.clip.path), seeking = openOrFail(c.clip.path);
        ASSERT_TRUE(stepping && seeking);
        ASSERT_EQ(stepping->info().frameCount, int(referenceOf(c.clip.path).numbers.size()));
        std::vector<int> stepped;
        for (int n = 0; n < 89; ++n) {
            stepped.push_back(barcodeOf(*stepping, n));
            EXPECT_NE(stepped.back(), -1) << "entry " << c.entry << ", frame " << n;
            if (c.inOrder)
                EXPECT_EQ(stepped.back(), n) << "entry " << c.entry;
        }
        for (int i = 0; i < 89; ++i)
            EXPECT_EQ(barcodeOf(*seeking, i * 37 % 89), stepped[size_t(i * 37 % 89)]) << "entry " << c.entry;
    }
}

// Clips with bytes damaged here and there, one at an odd size: whatever the source gives is
// never the wrong frame number, never a picture written past, never a crash or a hang (this
// test is also run under AddressSanitizer).
TEST(FrameReading, damagedClipsNeverCrash)
{
    CacheFolder cache;
    QTemporaryDir dir;
    std::mt19937 random(99);
    const int overruns = mci::pictureOverrunCount();
    for (ClipKind kind : {ClipKind::Mpeg1Mpg, ClipKind::H264Mkv, ClipKind::Mpeg2Ts, ClipKind::MjpegAvi,
                          ClipKind::ResizedJoinTs}) {
        QFile original(fixtures::clip(kind));
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        QByteArray bytes = original.readAll();
        for (int i = 0; i < 40; ++i)
            bytes[qsizetype(bytes.size() / 8 + random() % (bytes.size() * 7 / 8))] = char(random());
        const QString path = dir.filePath(QStringLiteral("damaged%1").arg(int(kind)) + QFileInfo(original).suffix());
        QFile damaged(path);
        ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
        damaged.write(bytes);
        damaged.close();
        auto opened = mci::MediaSource::open(path, {});
        if (!std::holds_alternative<std::unique_ptr<mci::MediaSource>>(opened))
            continue;
        auto& source = std::get<std::unique_ptr<mci::MediaSource>>(opened);
        const int count = source->info().frameCount;
        for (int n = 0; n < count; ++n) {
            if (auto frame = source->frame(n))
                EXPECT_EQ(frame->number(), n);
        }
        for (int i = 0; i < 20; ++i) {
            const int n = int(random() % unsigned(count));
            if (auto frame = source->frame(n))
                EXPECT_FALSE(frame->toImage(QSize(64, 48)).isNull());
        }
    }
    // Every picture has been let go with its source: none was written past (which the
    // sanitizers would not see, FFmpeg's writes being outside them).
    EXPECT_EQ(mci::pictureOverrunCount(), overruns);
}

}  // namespace
