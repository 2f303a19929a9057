// Files that cannot be played: each is refused with the code that says why, and none crashes
// or hangs the source. Also what happens when a file changes under an open source.
#include "ChildProcess.h"
#include "FFmpegError.h"
#include "MappedFile.h"
#include "MediaGenerator.h"
#include "SourceErrors.h"
#include "SourceTestSupport.h"
#include "Unprivileged.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <malloc.h>

using namespace sourcetest;

namespace {

// The code with which opening a file fails, as run in a child.
TAVOLEN_CHILD_BODY(openFailureCodeOf) {
    return std::to_string(openFailureCode(QFile::decodeName(arguments.at(0).c_str())));
}

class OpenFailures : public ::testing::Test {
protected:
    QString write(const char* name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
    QByteArray clipBytes(fixtures::ClipKind kind)
    {
        QFile file(fixtures::clip(kind));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return file.readAll();
    }

    CacheFolder m_cache;
    QTemporaryDir m_dir;
};

TEST_F(OpenFailures, missingEmptyAndUnreadableFilesSayWhich)
{
    EXPECT_EQ(openFailureCode(m_dir.filePath("nothing.mpg")), MCIERR_FILE_NOT_FOUND);
    EXPECT_EQ(openFailureCode(write("empty.mpg", {})), mci::MCIERR_SOURCE_EMPTY_FILE);
    EXPECT_EQ(openFailureCode(m_dir.path()), MCIERR_FILE_READ);
    const QString pipe = m_dir.filePath("pipe.mpg");
    ASSERT_EQ(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    EXPECT_EQ(openFailureCode(pipe), MCIERR_FILE_READ);  // and does not wait for a writer
    // Root reads everything, so the open runs as another user; the folder lets that user in.
    const QString locked = write("locked.avi", clipBytes(fixtures::ClipKind::MjpegAvi));
    QFile::setPermissions(locked, QFileDevice::WriteOwner);
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ExeOther);
    const auto said =
        runUnprivileged("openFailureCodeOf", {QFile::encodeName(locked).toStdString()},
                        QFile::encodeName(m_dir.path()).toStdString());
    if (!said) GTEST_SKIP() << "the user nobody cannot work in " << m_dir.path().toStdString();
    EXPECT_EQ(*said, std::to_string(MCIERR_FILE_READ));
}

// A WAV header with one field damaged: the file is at fault, whatever the decoder made of it
// (an absurd size it could not allocate once said the machine had run out of memory), and any
// file that opens plays.
TEST_F(OpenFailures, aDamagedWavHeaderIsTheFilesFaultNotTheMachines)
{
    struct Damage {
        const char* name;
        int offset;  // from the 'fmt ' chunk's body; its size is the four bytes before
        QByteArray bytes;
    };
    const Damage damages[] = {
        {"chunk size", -4, QByteArray("\xff\xff\0\0", 4)},  {"huge chunk size", -4, QByteArray("\xff\xff\xff\x7f", 4)},
        {"chunk size 1 MB", -4, QByteArray("\0\0\x10\0", 4)},
        {"format tag", 0, QByteArray("\xfe\xff", 2)},  {"channels", 2, QByteArray("\xff\xff", 2)},
        {"channels 0", 2, QByteArray("\0\0", 2)},      {"sample rate", 4, QByteArray("\xff\xff\xff\x7f", 4)},
        {"block align", 12, QByteArray("\xff\xff", 2)}, {"bits", 14, QByteArray("\xff\xff", 2)},
        {"sample rate 1", 4, QByteArray("\x01\0\0\0", 4)},  {"gsm", 0, QByteArray("\x31\0", 2)},           {"wma with huge extra data", 0, QByteArray("\x61\x01", 2)},
    };
    const QByteArray tone = clipBytes(fixtures::ClipKind::WavTone).left(3900);
    const int body = int(tone.indexOf("fmt ")) + 8;
    ASSERT_GT(body, 8);
    for (const Damage& damage : damages) {
        QByteArray bytes = tone;
        bytes.replace(body + damage.offset, damage.bytes.size(), damage.bytes);
        const MCIERROR code = openFailureCode(write("damaged.wav", bytes));
        EXPECT_NE(code, MCIERR_OUT_OF_MEMORY) << damage.name;
        // Resampled to 48 kHz, a second of it would be hours of sound in memory.
        if (damage.name == std::string("sample rate 1"))
            EXPECT_EQ(code, mci::MCIERR_SOURCE_TRUNCATED);
        if (code != 0)
            continue;
        auto source = openOrFail(write("damaged.wav", bytes));
        ASSERT_TRUE(source) << damage.name;
        if (auto sound = source->openAudio(44100, 2)) {
            std::vector<float> samples(2 * 4096);
            while (sound->read(samples.data(), 4096) > 0) {
            }
        }
    }
}

// An AVI whose stream header's time base was damaged (a frame lasting 68 years): it opens with
// a believable length and still gives every frame exactly.
TEST_F(OpenFailures, anAviWithADamagedTimeBaseOpensWithABelievableLength)
{
    QByteArray bytes = clipBytes(fixtures::ClipKind::MjpegAvi);
    const qsizetype header = bytes.indexOf("strh") + 8;  // the video stream's comes first
    ASSERT_EQ(bytes.mid(header, 4), "vids");
    bytes.replace(header + 20, 4, QByteArray("\xff\xff\xff\x7f", 4));  // dwScale
    bytes.replace(header + 24, 4, QByteArray("\x01\0\0\0", 4));        // dwRate
    auto source = openOrFail(write("damaged.avi", bytes));
    ASSERT_TRUE(source);
    const int count = source->info().frameCount;
    EXPECT_EQ(count, fixtures::clipFrameCount(fixtures::ClipKind::MjpegAvi));
    EXPECT_LT(source->info().durationUs, qint64(count) * 1'000'000);
    EXPECT_GT(source->frameStartUs(1), 0);
    for (int n : {count - 1, 0, count / 2})
        EXPECT_EQ(barcodeOf(*source, n), n);
}

TEST_F(OpenFailures, bytesThatAreNoMediaAreNotAMediaFileWhateverTheName)
{
    QByteArray noise(256 * 1024, Qt::Uninitialized);
    QRandomGenerator random(7);
    for (char& byte : noise)
        byte = char(random.generate());
    EXPECT_EQ(openFailureCode(write("noise.mpg", noise)), MCIERR_INVALID_FILE);
    EXPECT_EQ(openFailureCode(write("noise.mp4", noise.left(100))), MCIERR_INVALID_FILE);
    EXPECT_EQ(openFailureCode(write("text.avi", QByteArray("not a film\n").repeated(500))), MCIERR_INVALID_FILE);
}

TEST_F(OpenFailures, aTruncatedFileIsRefusedAsTruncatedOrPlaysWhatItHas)
{
    // MP4 keeps its table of contents at the end: without it nothing can be found.
    const QByteArray mp4 = clipBytes(fixtures::ClipKind::H264Mp4);
    EXPECT_EQ(openFailureCode(write("cut.mp4", mp4.left(mp4.size() / 2))), mci::MCIERR_SOURCE_TRUNCATED);
    EXPECT_EQ(openFailureCode(write("head.mp4", mp4.left(64))), mci::MCIERR_SOURCE_TRUNCATED);
    // Its table whole but every picture damaged: nothing to show is damage, not a video.
    QByteArray blank = mp4;
    const qsizetype data = blank.indexOf("mdat") + 4, end = blank.indexOf("moov") - 4;
    blank.replace(data, end - data, QByteArray(end - data, '\0'));
    EXPECT_EQ(openFailureCode(write("blank.mp4", blank)), mci::MCIERR_SOURCE_TRUNCATED);

    // With its table first (a download cut short), it plays up to the cut: the picture cut in
    // half is no frame, as the decoder refuses it, and every frame before it reads.
    fixtures::VideoSpec first;
    first.path = m_dir.filePath("first.mp4");
    first.codec = fixtures::VideoCodec::H264;
    first.container = fixtures::Container::Mp4;
    first.muxerOptions = {{"movflags", "faststart"}};
    QString error;
    ASSERT_TRUE(fixtures::writeVideo(first, &error)) << error.toStdString();
    QFile whole(first.path);
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    auto downloaded = openOrFail(write("downloaded.mp4", whole.readAll().chopped(1000)));
    ASSERT_TRUE(downloaded);
    const int frames = downloaded->info().frameCount;
    EXPECT_LT(frames, first.frames);
    for (int n = 0; n < frames; ++n)
        ASSERT_EQ(barcodeOf(*downloaded, n), n);

    // A program stream is readable up to the cut. Its frames are those that made it into the
    // file: the B-frames shown before the last P-frame may be cut away, so the last frames
    // can skip numbers, and the picture cut in half shows what it has (no readable number),
    // but the order holds and everything before them is exact.
    const QByteArray mpg = clipBytes(fixtures::ClipKind::Mpeg1Mpg);
    auto source = openOrFail(write("cut.mpg", mpg.left(mpg.size() / 2)));
    ASSERT_TRUE(source);
    const int count = source->info().frameCount;
    EXPECT_GT(count, 10);
    EXPECT_LT(count, fixtures::clipFrameCount(fixtures::ClipKind::Mpeg1Mpg));
    for (int n : {count / 2, 0, count - 4})
        EXPECT_EQ(barcodeOf(*source, n), n);
    int previous = barcodeOf(*source, count - 4);
    for (int n = count - 3; n < count; ++n) {
        const int shown = barcodeOf(*source, n);
        if (shown == -1)
            continue;
        EXPECT_GT(shown, previous) << "frame " << n;
        previous = shown;
    }
}

// A clock that goes back in the middle of a file where the order a decoder shows the pictures
// in cannot be read (MPEG-2 in Matroska, the coding type of a picture after the restart
// damaged): numbered by the container's times, frames would show other pictures, so the file
// is damaged.
TEST_F(OpenFailures, aRestartedClockThePicturesCannotOrderIsDamage)
{
    QByteArray bytes = clipBytes(fixtures::ClipKind::RestartedMpeg2Mkv);
    const QByteArray picture("\0\0\1\0", 4);
    qsizetype at = -1;
    for (int k = 0; k < 70; ++k)
        at = bytes.indexOf(picture, at + 1);
    ASSERT_GT(at, 0);
    bytes[at + 5] = char(bytes[at + 5] & ~0x38);
    EXPECT_EQ(openFailureCode(write("restarted.mkv", bytes)), mci::MCIERR_SOURCE_TRUNCATED);
}

TEST_F(OpenFailures, aPictureTooLargeToHandleIsRefusedBeforeAnythingIsAllocated)
{
    // Raw video headers with a sliver of data: wider than the source takes, but not so large
    // that the container itself refuses it.
    const auto y4m = [](int width, int height) {
        QByteArray bytes = QStringLiteral("YUV4MPEG2 W%1 H%2 F30:1 Ip A1:1 C420jpeg\nFRAME\n").arg(width).arg(height).toLatin1();
        return bytes.append(QByteArray(qsizetype(width) * height * 3 / 2, '\x80'));
    };
    EXPECT_EQ(openFailureCode(write("wide.y4m", y4m(20000, 16))), mci::MCIERR_SOURCE_PICTURE_TOO_LARGE);
    EXPECT_EQ(openFailureCode(write("tall.y4m", y4m(16, 16390))), mci::MCIERR_SOURCE_PICTURE_TOO_LARGE);
    // At the limit it is taken.
    EXPECT_EQ(openFailureCode(write("limit.y4m", y4m(16384, 16))), 0u);
    // A size the container refuses is refused too, as a damaged file.
    QByteArray huge("YUV4MPEG2 W40000 H40000 F30:1 Ip A1:1 C420jpeg\nFRAME\n");
    EXPECT_EQ(openFailureCode(write("huge.y4m", huge.append(QByteArray(4096, '\x80')))), mci::MCIERR_SOURCE_TRUNCATED);
}

TEST_F(OpenFailures, everyCodeAnOpenReturnsHasItsOwnText)
{
    const MCIERROR codes[] = {MCIERR_FILE_NOT_FOUND, MCIERR_FILE_READ, MCIERR_INVALID_FILE, MCIERR_OUT_OF_MEMORY,
                              mci::MCIERR_SOURCE_EMPTY_FILE, mci::MCIERR_SOURCE_TRUNCATED,
                              mci::MCIERR_SOURCE_CANCELLED, mci::MCIERR_SOURCE_PICTURE_TOO_LARGE,
                              mci::MCIERR_SOURCE_UNSUPPORTED_CODEC};
    QStringList texts;
    for (MCIERROR code : codes) {
        texts << mci::sourceErrorText(code);
        EXPECT_FALSE(texts.back().isEmpty()) << code;
    }
    texts.removeDuplicates();
    EXPECT_EQ(texts.size(), int(std::size(codes)));
    EXPECT_EQ(mci::sourceErrorText(mci::MCIERR_SOURCE_CANCELLED), QStringLiteral("ファイルを開く操作が取り消されました"));
    EXPECT_TRUE(mci::sourceErrorText(MCIERR_BAD_TIME_FORMAT).isEmpty());
}

constexpr int kNoMemory = -ENOMEM;  // FFmpeg's AVERROR(ENOMEM)

// In a child: caps the address space just above what it already uses, then prints the code
// that FFmpeg's ENOMEM becomes.
[[noreturn]] void sayOutOfMemoryCodeOnAShortMachine() {
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    const rlim_t cap = pages * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(16) << 20);
    const rlimit limit{cap, cap};
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
    std::fprintf(stderr, "code %u\n",
                 unsigned(mci::mciErrorFromAv(kNoMemory, mci::FormatKnown::Yes)));
    std::_Exit(0);
}

// Tests that cap a child's address space: AddressSanitizer reserves more than any cap leaves.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_WHERE_THE_ADDRESS_SPACE_CANNOT_BE_CAPPED() GTEST_SKIP() << "AddressSanitizer reserves more address space than any cap leaves"
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SKIP_WHERE_THE_ADDRESS_SPACE_CANNOT_BE_CAPPED() GTEST_SKIP() << "AddressSanitizer reserves more address space than any cap leaves"
#endif
#endif
#ifndef SKIP_WHERE_THE_ADDRESS_SPACE_CANNOT_BE_CAPPED
#define SKIP_WHERE_THE_ADDRESS_SPACE_CANNOT_BE_CAPPED() (void)0
#endif

// FFmpeg answers ENOMEM both for an absurd allocation a damaged header asked for and when the
// machine has run short; only the second is out of memory. The short machine is a child whose
// address space is capped.
TEST(OutOfMemory, isSaidOnlyWhenTheMachineHasRunShort) {
    SKIP_WHERE_THE_ADDRESS_SPACE_CANNOT_BE_CAPPED();
    EXPECT_EQ(mci::mciErrorFromAv(kNoMemory, mci::FormatKnown::Yes), mci::MCIERR_SOURCE_TRUNCATED);
    EXPECT_EQ(mci::mciErrorFromAv(kNoMemory, mci::FormatKnown::No), MCIERR_INVALID_FILE);
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, not a fork of this one
    EXPECT_EXIT(sayOutOfMemoryCodeOnAShortMachine(), ::testing::ExitedWithCode(0),
                "code " + std::to_string(MCIERR_OUT_OF_MEMORY) + "\n");
}

// In a child: opens the file with the address space capped a little above what the process
// already uses, and says how that went ("frames N" or "error CODE").
TAVOLEN_CHILD_BODY(openOnAShortMachine) {
    mallopt(M_ARENA_MAX, 1);  // each thread's arena would reserve 64 MB of the cap
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    const rlim_t cap = pages * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(std::stoi(arguments.at(1))) << 20);
    const rlimit limit{cap, cap};
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
        return "no cap";
    auto opened = mci::MediaSource::open(QFile::decodeName(arguments.at(0).c_str()), {});
    if (auto* failure = std::get_if<mci::OpenFailure>(&opened))
        return "error " + std::to_string(failure->code);
    return "frames " + std::to_string(std::get<std::unique_ptr<mci::MediaSource>>(opened)->info().frameCount);
}

// The boxes from an MP4's top level down to its video track's sample sizes, by their offsets.
std::vector<qsizetype> pathToSampleSizes(const QByteArray& mp4)
{
    std::vector<qsizetype> path;
    qsizetype at = 0, end = mp4.size();
    for (const char* type : {"moov", "trak", "mdia", "minf", "stbl", "stsz"}) {
        while (at + 8 <= end && mp4.mid(at + 4, 4) != type)
            at += qFromBigEndian<quint32>(mp4.constData() + at);
        if (at + 8 > end)
            return {};
        path.push_back(at);
        end = at + qFromBigEndian<quint32>(mp4.constData() + at);
        at += 8;
    }
    return path;
}

// A transport stream whose video is one PES packet of unstated length: the clip's pictures over
// and over, megabytes long.
QByteArray onePesOf(const QByteArray& ts, int megabytes)
{
    QByteArray before, stream, pesHeader;
    for (qsizetype at = 0; at + 188 <= ts.size(); at += 188) {
        const auto* p = reinterpret_cast<const uchar*>(ts.constData() + at);
        const qsizetype offset = p[3] & 0x20 ? 5 + p[4] : 4;
        if (((p[1] & 0x1f) << 8 | p[2]) != 0x100) {
            if (stream.isEmpty())
                before += ts.mid(at, 188);
            continue;
        }
        const qsizetype header = p[1] & 0x40 ? 9 + p[offset + 8] : 0;
        if (pesHeader.isEmpty())
            pesHeader = ts.mid(at + offset, header);
        stream += ts.mid(at + offset + header, 188 - offset - header);
    }
    pesHeader[4] = pesHeader[5] = 0;
    QByteArray payload = pesHeader + stream.repeated(megabytes * (1 << 20) / stream.size() + 1);
    payload.append(QByteArray(184 - payload.size() % 184, '\0'));
    QByteArray out = before;
    for (qsizetype at = 0, cc = 0; at < payload.size(); at += 184, ++cc) {
        const char head[] = {'\x47', char(at ? 0x01 : 0x41), '\x00', char(0x10 | (cc & 15))};
        out.append(head, 4).append(payload.mid(at, 184));
    }
    return out;
}

// No header makes an open allocate more than the file can need: a second table of sample sizes
// that claims 2^32 samples (the demuxer reads the other), a PES of unstated length that runs on
// for 100 MB (the demuxer gives it out in pieces). Each opens in a child whose address space is
// capped 128 MB above what it uses, before any open could keep its index.
TEST_F(OpenFailures, memoryIsBoundedByTheFileNotByItsHeaders)
{
    SKIP_WHERE_THE_ADDRESS_SPACE_CANNOT_BE_CAPPED();
    QByteArray mp4 = clipBytes(fixtures::ClipKind::H264Mp4);
    const std::vector<qsizetype> boxes = pathToSampleSizes(mp4);
    ASSERT_EQ(boxes.size(), 6u);
    // A constant sample size, which the demuxer takes without allocating, and a vast count.
    const QByteArray claim("\0\0\0\x14stsz\0\0\0\0\0\0\0\x01\xff\xff\xff\xff", 20);
    mp4.insert(boxes.back(), claim);
    for (size_t i = 0; i + 1 < boxes.size(); ++i)
        qToBigEndian<quint32>(qFromBigEndian<quint32>(mp4.constData() + boxes[i]) + 20, mp4.data() + boxes[i]);
    const QString sizes = write("two-sample-size-tables.mp4", mp4);
    EXPECT_EQ(runChild("openOnAShortMachine", {sizes.toStdString(), "128"}).said, "frames 300");

    const QString pes = write("one-pes.ts", onePesOf(clipBytes(fixtures::ClipKind::Mpeg2Ts), 100));
    const ChildOutcome opened = runChild("openOnAShortMachine", {pes.toStdString(), "128"});
    EXPECT_EQ(opened.end, ChildOutcome::End::Returned);
    EXPECT_EQ(opened.said.rfind("frames ", 0), 0u) << opened.said;
}

// A file cut short or removed while it is open: frames past the cut are simply not there, no
// frame is ever the wrong one, and nothing hangs.
TEST_F(OpenFailures, aFileCutWhileOpenGivesNoWrongFrames)
{
    const QString path = write("shrinking.mpg", clipBytes(fixtures::ClipKind::Mpeg1Mpg));
    auto source = openOrFail(path);
    ASSERT_TRUE(source);
    EXPECT_EQ(barcodeOf(*source, 3), 3);
    QFile::resize(path, QFile(path).size() / 3);
    for (int n : {80, 4, 60, 20, 89, 0}) {
        const int shown = barcodeOf(*source, n);
        EXPECT_TRUE(shown == n || shown == -1) << "frame " << n << " showed " << shown;
    }
    QFile::remove(path);
    for (int n : {85, 1})
        source->frame(n);
    SUCCEED();
}

// Another program shortening a file while a scan reads it through a mapping: that reading fails,
// every time, and the program goes on.
TEST_F(OpenFailures, aFileCutWhileAScanReadsItFailsTheScanNotTheProgram)
{
    const QString path = write("cut-while-mapped.bin", QByteArray(64 << 10, 'x'));
    const mci::MappedFile file(path);
    ASSERT_TRUE(file.isMapped());
    QFile::resize(path, 4096);
    const auto byteAt = [&](qint64 at) {
        char read = 0;
        return mci::readMapped([&] { return (read = char(file.data()[at])) != 0; }) ? read : '-';
    };
    for (int time = 0; time < 2; ++time) {
        EXPECT_EQ(byteAt(100), 'x');
        EXPECT_EQ(byteAt(40000), '-');
    }
    EXPECT_FALSE(file.mapIn(8192, 65536));
}

}  // namespace
