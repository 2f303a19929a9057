// Sound: files without a picture count 30 frames a second, and the sound of any file decodes to
// its end and from an exact time.
#include "MediaGenerator.h"
#include "SourceTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <vector>

using fixtures::ClipKind;
using namespace sourcetest;

namespace {

constexpr int kRate = 44'100;

// Everything the stream gives, in pieces of an awkward size.
std::vector<float> readAll(mci::AudioStream& stream)
{
    std::vector<float> all;
    std::vector<float> piece(size_t(1000) * size_t(stream.channels()));
    int got = 0;
    while ((got = stream.read(piece.data(), 1000)) > 0)
        all.insert(all.end(), piece.begin(), piece.begin() + got * stream.channels());
    return all;
}

// Bytes this process has read so far, as the kernel counts them: a read bounded in what it
// takes from a file is told from one that goes through all of it without timing anything.
qint64 bytesReadSoFar()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

int upwardZeroCrossings(const std::vector<float>& samples)
{
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i)
        crossings += samples[i - 1] < 0 && samples[i] >= 0;
    return crossings;
}

class SoundSource : public ::testing::Test {
protected:
    CacheFolder m_cache;
};

TEST_F(SoundSource, aWavFileCountsThirtyFramesASecondAndReadsToItsEnd)
{
    auto source = openOrFail(fixtures::clip(ClipKind::WavTone));
    ASSERT_TRUE(source);
    const mci::MediaInfo& info = source->info();
    EXPECT_FALSE(info.hasVideo);
    EXPECT_TRUE(info.hasAudio);
    EXPECT_TRUE(info.naturalSize.isEmpty());
    EXPECT_EQ(info.frameCount, 90);
    EXPECT_EQ(info.durationUs, 3'000'000);
    EXPECT_EQ(source->frameStartUs(45), 1'500'000);
    EXPECT_EQ(source->frameStartUs(90), 3'000'000);
    EXPECT_EQ(source->frameAtUs(1'533'333), 45);
    EXPECT_EQ(source->frameAtUs(9'000'000), 89);
    EXPECT_EQ(source->frame(0), nullptr);

    auto stream = source->openAudio(kRate, 1);
    ASSERT_TRUE(stream);
    const std::vector<float> all = readAll(*stream);
    EXPECT_EQ(all.size(), size_t(3 * kRate));
    EXPECT_NEAR(upwardZeroCrossings(all), 3 * 440, 3);
    EXPECT_EQ(stream->read(nullptr, 0), 0);
}

TEST_F(SoundSource, seekingTheSoundStartsExactlyThereInAnyOutputFormat)
{
    auto source = openOrFail(fixtures::clip(ClipKind::WavTone));
    ASSERT_TRUE(source);
    auto stream = source->openAudio(48'000, 2);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->seekUs(1'250'000));
    const std::vector<float> rest = readAll(*stream);
    // 1.75 s at 48 kHz stereo; the resampler may hold back a few samples of its filter.
    EXPECT_NEAR(double(rest.size()) / 2, 1.75 * 48'000, 64);
    for (size_t i = 0; i + 1 < rest.size(); i += 2)
        ASSERT_EQ(rest[i], rest[i + 1]) << "mono is the same on both sides";

    ASSERT_TRUE(stream->seekUs(2'000'000));
    std::vector<float> exact(1000);
    ASSERT_EQ(stream->read(exact.data(), 500), 500);
    ASSERT_TRUE(stream->seekUs(0));
    EXPECT_NEAR(double(readAll(*stream).size()) / 2, 3.0 * 48'000, 64);
}

TEST_F(SoundSource, anMp3FileCountsItsLengthAndReadsToItsEnd)
{
    auto source = openOrFail(fixtures::clip(ClipKind::Mp3Tone));
    ASSERT_TRUE(source);
    const mci::MediaInfo& info = source->info();
    EXPECT_FALSE(info.hasVideo);
    // The file holds whole MP3 frames of 1152 samples plus the encoder's delay (3.03 s in
    // all); the length is the sound the decoder gives out, without that padding.
    EXPECT_NEAR(info.durationUs, 3'000'000, 1'000);
    EXPECT_EQ(info.frameCount, 90);

    auto stream = source->openAudio(kRate, 1);
    ASSERT_TRUE(stream);
    const std::vector<float> all = readAll(*stream);
    EXPECT_NEAR(double(all.size()) / kRate, info.durationUs / 1e6, 0.001);
    EXPECT_NEAR(upwardZeroCrossings(all), 3 * 440, 15);
}

// The length the source reports is that of the sound it decodes, and so is its frame count.
void expectAsLongAsItsSoundDecodes(const QString& path)
{
    auto source = openOrFail(path);
    ASSERT_TRUE(source);
    auto stream = source->openAudio(kRate, 1);
    ASSERT_TRUE(stream);
    const double decoded = double(readAll(*stream).size()) / kRate;
    EXPECT_NEAR(source->info().durationUs / 1e6, decoded, 0.001);
    EXPECT_EQ(source->info().frameCount, int(std::ceil(decoded * 30)));
}

// Ogg Vorbis: the demuxer gives packets durations that fall short where pages end; the length
// is what decodes, which the last page's granule position says. Two files joined end to end
// count their granule positions each from 0: the last says how long the second is.
TEST_F(SoundSource, anOggVorbisFileIsAsLongAsItsSoundDecodes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("tone.ogg"), second = dir.filePath("second.ogg");
    QString error;
    ASSERT_TRUE(fixtures::writeTone(path, fixtures::ToneFormat::OggVorbis, 6.128, 440, &error)) << error.toStdString();
    ASSERT_TRUE(fixtures::writeTone(second, fixtures::ToneFormat::OggVorbis, 2.5, 660, &error)) << error.toStdString();
    expectAsLongAsItsSoundDecodes(path);
    QFile first(path), joined(dir.filePath("joined.ogg")), next(second);
    ASSERT_TRUE(first.open(QIODevice::ReadOnly) && next.open(QIODevice::ReadOnly) && joined.open(QIODevice::WriteOnly));
    joined.write(first.readAll() + next.readAll());
    joined.close();
    expectAsLongAsItsSoundDecodes(joined.fileName());
    // A time names one place in the joined file: a seek into the second tone, then back into
    // the first, plays from there to the end.
    auto source = openOrFail(joined.fileName());
    ASSERT_TRUE(source);
    auto stream = source->openAudio(kRate, 1);
    ASSERT_TRUE(stream && stream->seekUs(7'128'000));
    std::vector<float> rest = readAll(*stream);
    EXPECT_NEAR(double(rest.size()) / kRate, 1.5, 0.01);
    EXPECT_NEAR(upwardZeroCrossings(rest), 1.5 * 660, 10);
    ASSERT_TRUE(stream->seekUs(1'000'000));
    rest = readAll(*stream);
    EXPECT_NEAR(double(rest.size()) / kRate, 7.628, 0.01);
    EXPECT_NEAR(upwardZeroCrossings(rest), 5.128 * 440 + 2.5 * 660, 20);
}

// AC-3 in RealMedia: the container times each packet in whole milliseconds (34 for 34.8 ms of
// sound), and past a damaged packet header the demuxer resynchronises and gives a packet that
// does not decode. The length is the sound that decodes, not what the packets claim.
TEST_F(SoundSource, aRealMediaAc3SoundWithADamagedPacketIsAsLongAsItsSoundDecodes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("tone.rm");
    QString error;
    ASSERT_TRUE(fixtures::writeTone(path, fixtures::ToneFormat::RealMediaAc3, 6, 440, &error)) << error.toStdString();
    qint64 damaged = -1;
    {
        auto demuxer = openDemuxer(path);
        ASSERT_TRUE(demuxer);
        demuxer->keepOnly(demuxer->audioStream());
        mci::PacketPtr packet(av_packet_alloc());
        for (int n = 0; n <= 60 && demuxer->read(packet.get()) >= 0; ++n) {
            damaged = packet->pos;
            av_packet_unref(packet.get());
        }
    }
    QFile file(path);
    ASSERT_TRUE(damaged > 0 && file.open(QIODevice::ReadWrite) && file.seek(damaged));
    QByteArray head = file.read(4);
    for (char& byte : head)
        byte = char(byte ^ 0x5a);  // the packet's header: its version and length
    ASSERT_TRUE(file.seek(damaged) && file.write(head) == 4);
    file.close();

    expectAsLongAsItsSoundDecodes(path);
}

TEST_F(SoundSource, aVideoWithSoundStartsItsSoundWithTheFirstFrame)
{
    auto source = openOrFail(fixtures::clip(ClipKind::WithSound));
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->info().hasVideo);
    EXPECT_TRUE(source->info().hasAudio);
    auto stream = source->openAudio(kRate, 2);
    ASSERT_TRUE(stream);
    const std::vector<float> all = readAll(*stream);
    // The sound lasts as long as the picture, give or take the codec's last frame.
    EXPECT_NEAR(double(all.size()) / 2 / kRate, source->info().durationUs / 1e6, 0.05);

    auto silent = openOrFail(fixtures::clip(ClipKind::Mpeg1Mpg));
    ASSERT_TRUE(silent);
    EXPECT_FALSE(silent->info().hasAudio);
    EXPECT_EQ(silent->openAudio(kRate, 2), nullptr);
}

// A file rewritten under the sound, here into a gigabyte of zeros, is not read through: the
// stream ends after a bounded amount of reading. With the file back, a seek plays it again; an
// interrupted stream reads nothing until it is sought.
TEST_F(SoundSource, aRewrittenFileIsNotReadThroughAndAnInterruptedStreamWaitsForASeek)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("clip.mpg"));
    ASSERT_TRUE(QFile::copy(fixtures::clip(ClipKind::WithSound), path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray original = file.readAll();
    auto source = openOrFail(path);
    ASSERT_TRUE(source);
    auto stream = source->openAudio(kRate, 2);
    ASSERT_TRUE(stream);
    std::vector<float> piece(2000);
    ASSERT_EQ(stream->read(piece.data(), 1000), 1000);

    constexpr qint64 kZeros = qint64(1) << 30;
    ASSERT_TRUE(file.resize(0) && file.resize(kZeros));  // sparse: it takes no room
    const qint64 before = bytesReadSoFar();
    ASSERT_GE(before, 0);
    readAll(*stream);
    EXPECT_LT(bytesReadSoFar() - before, kZeros / 16);

    ASSERT_TRUE(file.resize(0) && file.seek(0));
    ASSERT_EQ(file.write(original), original.size());
    ASSERT_TRUE(file.flush());
    ASSERT_TRUE(stream->seekUs(1'000'000));
    EXPECT_NEAR(double(readAll(*stream).size()) / 2 / kRate, source->info().durationUs / 1e6 - 1, 0.05);

    stream->interrupt();
    EXPECT_EQ(stream->read(piece.data(), 1000), 0);
    ASSERT_TRUE(stream->seekUs(0));
    EXPECT_EQ(stream->read(piece.data(), 1000), 1000);
}

// A long stretch of a sound file without sound (here 40 MB of a transport stream's filler in
// the middle, as a recording's video between two pieces of sound) is read through: the sound
// plays to the end of the file.
TEST_F(SoundSource, aLongStretchWithoutSoundIsReadThroughToTheEnd)
{
    QTemporaryDir dir;
    fixtures::VideoSpec gapClip;
    gapClip.path = dir.filePath(QStringLiteral("gap.ts"));
    gapClip.container = fixtures::Container::Ts;
    gapClip.frames = 150;
    gapClip.withAudio = true;
    QString error;
    ASSERT_TRUE(fixtures::writeVideo(gapClip, &error)) << error.toStdString();
    QFile file(gapClip.path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    constexpr int kPacket = 188;
    const qsizetype middle = bytes.size() / 2 / kPacket * kPacket;
    ASSERT_EQ(bytes[middle], 0x47);
    QByteArray filler(kPacket, char(0xff));  // the null packet: PID 0x1FFF, payload only
    filler[0] = 0x47;
    filler[1] = 0x1f;
    filler[3] = 0x10;
    bytes.insert(middle, filler.repeated((40 << 20) / kPacket));
    ASSERT_TRUE(file.resize(0) && file.seek(0));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    auto source = openOrFail(gapClip.path);
    ASSERT_TRUE(source);
    auto stream = source->openAudio(kRate, 2);
    ASSERT_TRUE(stream);
    EXPECT_NEAR(double(readAll(*stream).size()) / 2 / kRate, source->info().durationUs / 1e6, 0.05);
}

TEST_F(SoundSource, anAnamorphicPictureIsShownAtItsNaturalShape)
{
    auto source = openOrFail(fixtures::clip(ClipKind::Anamorphic));
    ASSERT_TRUE(source);
    EXPECT_EQ(source->info().naturalSize, QSize(320, 240));
    const auto frame = source->frame(0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), QSize(352, 240));
}

}  // namespace
