// Files that cannot be played: each is refused with the code that says why, and none crashes
// or hangs the source. Also what happens when a file changes under an open source.
#include "MediaGenerator.h"
#include "SourceErrors.h"
#include "SourceTestSupport.h"
#include "Unprivileged.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace sourcetest;

namespace {

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
    EXPECT_EQ(runUnprivileged([&] { return std::to_string(openFailureCode(locked)); }),
              std::to_string(MCIERR_FILE_READ));
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

}  // namespace
