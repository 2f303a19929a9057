// Every picture at every size and pixel format, through the player's own conversion: into memory
// whose end is a guard page (a write past it inside FFmpeg stops the test where the sanitizers
// would see nothing), every pixel written, and in the colours the reference decode shows, at
// natural size, at a third, at three times and turned. HDR video matches FFmpeg's own
// tone-mapping chain; SDR video still matches the plain conversion.
#include "GuardedMemory.h"
#include "MediaGenerator.h"
#include "MediaReader.h"
#include "SourceTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QPainter>
#include <QTemporaryDir>

extern "C" {
#include <libavutil/cpu.h>
}

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

enum class Colours { Plain, Hdr };

struct Row {
    const char* name;
    const char* encoder;
    const char* muxer;
    const char* pixelFormat;
    QSize size;  // as shown
    int quarterTurns = 0;
    // The colour description stated (primaries, transfer, matrix); -1 unsaid.
    int primaries = -1, transfer = -1, matrix = -1;
    Colours colours = Colours::Plain;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

constexpr int kBt709 = 1, kBt2020 = 9, kBt2020Ten = 14, kPq = 16, kHlg = 18;

const std::vector<Row> kRows = {
    // The widths of screencasts and logos that overran; the multiples of 16 never did.
    {"h264_24x24", "libx264", "mp4", "yuv420p", {24, 24}},
    {"h264_40x30", "libx264", "mp4", "yuv420p", {40, 30}},
    {"h264_104x78", "libx264", "mp4", "yuv420p", {104, 78}},
    {"h264_236x178", "libx264", "mp4", "yuv420p", {236, 178}},
    {"h264_600x450", "libx264", "mp4", "yuv420p", {600, 450}},
    {"h264_630x354", "libx264", "mp4", "yuv420p", {630, 354}},
    {"h264_956x538", "libx264", "mp4", "yuv420p", {956, 538}},
    {"h264_2268x1276", "libx264", "mp4", "yuv420p", {2268, 1276}},
    {"h264_422_378x382", "libx264", "mp4", "yuv422p", {378, 382}},
    {"h264_444_250x142", "libx264", "mp4", "yuv444p", {250, 142}},
    {"h264_10bit_318x180", "libx264", "mp4", "yuv420p10le", {318, 180}},
    {"h264_turned_236x178", "libx264", "mp4", "yuv420p", {236, 178}, 1},
    {"ffv1_2x2", "ffv1", "matroska", "yuv420p", {2, 2}},
    {"ffv1_3x3", "ffv1", "matroska", "yuv420p", {3, 3}},
    {"ffv1_7x5", "ffv1", "matroska", "yuv420p", {7, 5}},
    {"ffv1_422_9x7", "ffv1", "matroska", "yuv422p", {9, 7}},
    {"ffv1_alpha_9x7", "ffv1", "matroska", "yuva420p", {9, 7}},
    {"ffv1_444_13x11", "ffv1", "matroska", "yuv444p", {13, 11}},
    {"ffv1_grey_17x9", "ffv1", "matroska", "gray", {17, 9}},
    {"ffv1_grey16_33x17", "ffv1", "matroska", "gray16le", {33, 17}},
    {"ffv1_12bit_21x19", "ffv1", "matroska", "yuv420p12le", {21, 19}},
    {"ffv1_wide_4002x6", "ffv1", "matroska", "yuv420p", {4002, 6}},
    {"ffv1_tall_6x3001", "ffv1", "matroska", "yuv420p", {6, 3001}},
    {"huffyuv_422_10x7", "huffyuv", "avi", "yuv422p", {10, 7}},
    {"mjpeg_422_9x7", "mjpeg", "avi", "yuvj422p", {9, 7}},
    {"png_rgb24_11x7", "png", "avi", "rgb24", {11, 7}},
    {"png_rgb48_11x7", "png", "avi", "rgb48be", {11, 7}},
    {"png_palette_11x7", "png", "avi", "pal8", {11, 7}},
    // The palette in the container, given with the first packet only (AVI: further down).
    {"raw_palette_13x5", "rawvideo", "mov", "pal8", {13, 5}},
    {"png_rgba_13x5", "png", "avi", "rgba", {13, 5}},
    {"vp8_alpha_378x382", "libvpx", "webm", "yuva420p", {378, 382}},
    {"theora_378x214", "libtheora", "ogg", "yuv420p", {378, 214}},
    {"mpeg4_568x320", "mpeg4", "avi", "yuv420p", {568, 320}},
    {"mpeg2_600x450", "mpeg2video", "mpeg", "yuv420p", {600, 450}},
    // Colours as the file means them.
    {"hdr_pq", "libx264", "mp4", "yuv420p10le", {320, 180}, 0, kBt2020, kPq, kBt2020, Colours::Hdr},
    {"hdr_hlg", "libx264", "mp4", "yuv420p10le", {320, 180}, 0, kBt2020, kHlg, kBt2020, Colours::Hdr},
    {"wide_gamut_sdr", "libx264", "mp4", "yuv420p10le", {320, 180}, 0, kBt2020, kBt2020Ten, kBt2020,
     Colours::Hdr},
    {"hdr_pq_ffv1_37x21", "ffv1", "matroska", "yuv420p10le", {37, 21}, 0, kBt2020, kPq, kBt2020, Colours::Hdr},
    {"hdr_hlg_ffv1_422_2022x9", "ffv1", "matroska", "yuv422p10le", {2022, 9}, 0, kBt2020, kHlg, kBt2020,
     Colours::Hdr},
    {"sdr_bt709", "libx264", "mp4", "yuv420p", {320, 180}, 0, kBt709, kBt709, kBt709},
};

constexpr int kFrames = 3;

// Gentle colours that change smoothly all over: a line never written or in the wrong colours
// stands out, while the ways of filling in subsampled colour, which differ at sharp edges,
// do not.
QImage drawGradient(int n, QSize size) {
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            const double u = double(x) / std::max(48, size.width() - 1);
            const double v = double(y) / std::max(48, size.height() - 1);
            image.setPixel(x, y, qRgb(int(70 + 110 * u), int(70 + 110 * v), int(150 - 60 * u * v) - 8 * n));
        }
    return image;
}

QString writeClip(const Row& row, const QString& folder) {
    fixtures::VideoSpec clip;
    clip.path = QStringLiteral("%1/%2.%3").arg(folder, QLatin1String(row.name), QLatin1String(row.muxer));
    clip.encoder = row.encoder;
    clip.muxer = row.muxer;
    clip.pixelFormat = row.pixelFormat;
    clip.size = row.size;
    clip.frames = kFrames;
    clip.fpsNum = 25;
    clip.bFrames = 0;
    clip.quarterTurns = row.quarterTurns;
    clip.colorPrimaries = row.primaries;
    clip.colorTransfer = row.transfer;
    clip.colorMatrix = row.matrix;
    clip.draw = drawGradient;
    if (QLatin1String(row.encoder) == QLatin1String("libvpx"))
        clip.encoderOptions = {{"auto-alt-ref", "0"}};
    QString error;
    if (!fixtures::writeVideo(clip, &error)) ADD_FAILURE() << "cannot write " << row.name << ": " << error.toStdString();
    return clip.path;
}

std::vector<QImage> referencePictures(const QString& path) {
    std::vector<QImage> pictures;
    QString error;
    fixtures::decodeVideo(
        path,
        [&](const fixtures::DecodedFrame& frame) {
            pictures.push_back(frame.image);
            return true;
        },
        &error);
    return pictures;
}

int channelError(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
}

struct Errors {
    double mean = 0;       // over the whole picture
    double worstLine = 0;  // the mean over the worst row or column: a line never written
    double meanColour = 0;  // between the pictures' average colours, the worst channel
};

Errors errorsBetween(const QImage& shown, const QImage& reference) {
    const int w = shown.width(), h = shown.height();
    std::vector<double> rows(h), columns(w);
    double total = 0, sums[2][3] = {};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb a = shown.pixel(x, y), b = reference.pixel(x, y);
            const int e = channelError(a, b);
            rows[y] += e;
            columns[x] += e;
            total += e;
            for (int side = 0; side < 2; ++side) {
                const QRgb p = side ? b : a;
                sums[side][0] += qRed(p), sums[side][1] += qGreen(p), sums[side][2] += qBlue(p);
            }
        }
    const double pixels = double(w) * h;
    Errors errors{total / pixels, 0, 0};
    for (double r : rows) errors.worstLine = std::max(errors.worstLine, r / w);
    for (double c : columns) errors.worstLine = std::max(errors.worstLine, c / h);
    for (int c = 0; c < 3; ++c) errors.meanColour = std::max(errors.meanColour, std::abs(sums[0][c] - sums[1][c]) / pixels);
    return errors;
}

// Converted twice into guarded memory, once over zeros and once over ones: every byte of the
// picture must be the same both times, or some pixel was never written.
void expectEveryPixelWritten(const mci::DecodedFrame& frame, QSize target, const std::string& where) {
    const auto layout = mci::DecodedFrame::layoutOf(target);
    ASSERT_GE(layout.stride, target.width() * 4) << where;
    ASSERT_GE(layout.bytes, qint64(layout.stride) * target.height()) << where;
    testsupport::GuardedMemory zeros(size_t(layout.bytes)), ones(size_t(layout.bytes));
    ASSERT_TRUE(zeros.data() && ones.data()) << where;
    zeros.fill(0x00);
    ones.fill(0xff);
    ASSERT_TRUE(frame.convertInto(target, zeros.data(), layout.stride)) << where;
    ASSERT_TRUE(frame.convertInto(target, ones.data(), layout.stride)) << where;
    int unwritten = 0;
    for (int y = 0; y < target.height(); ++y)
        unwritten += std::memcmp(zeros.data() + y * layout.stride, ones.data() + y * layout.stride, target.width() * 4) != 0;
    EXPECT_EQ(unwritten, 0) << where << ": lines with pixels never written";
}

class PictureConversion : public ::testing::TestWithParam<Row> {
protected:
    sourcetest::CacheFolder cache;
};

TEST_P(PictureConversion, EverySizeWithinItsMemoryEveryPixelWrittenInTheColoursMeant) {
    const Row& row = GetParam();
    QTemporaryDir folder;
    const QString path = writeClip(row, folder.path());
    const std::vector<QImage> reference = referencePictures(path);
    ASSERT_EQ(int(reference.size()), kFrames) << row.name;
    const auto source = sourcetest::openOrFail(path);
    ASSERT_TRUE(source);
    const QSize natural = source->info().naturalSize;
    ASSERT_EQ(natural, row.size);
    const QSize third = (natural / 3).expandedTo(QSize(1, 1));
    for (int n : {0, kFrames - 1}) {
        const auto frame = source->frame(n);
        ASSERT_TRUE(frame) << row.name << " frame " << n;
        for (const QSize shown : {natural, third, natural * 3}) {
            const std::string where = std::string(row.name) + " frame " + std::to_string(n) + " at " +
                                      std::to_string(shown.width()) + "x" + std::to_string(shown.height());
            expectEveryPixelWritten(*frame, row.quarterTurns % 2 ? shown.transposed() : shown, where);
            const QImage image = frame->toImage(shown);
            ASSERT_EQ(image.size(), shown) << where;
            const QImage expected =
                shown == natural ? reference[n]
                                 : reference[n].scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            const Errors errors = errorsBetween(image, expected);
            if (row.colours == Colours::Hdr) {  // without AVX2, the same picture
                av_force_cpu_flags(av_get_cpu_flags() & ~(AV_CPU_FLAG_AVX2 | AV_CPU_FLAG_AVX512));
                EXPECT_EQ(frame->toImage(shown), image) << where << " mapped without AVX2";
                av_force_cpu_flags(-1);
            }
            if (shown == natural) {  // pixel by pixel, within a few levels
                EXPECT_LE(errors.mean, 3.0) << where;
                EXPECT_LE(errors.worstLine, 8.0) << where;
            } else if (std::min(natural.width(), natural.height()) >= 8) {
                // The scalers' filters differ, most at the edges; in a picture smaller than
                // their reach, they differ everywhere.
                EXPECT_LE(errors.meanColour, 4.0) << where;
                EXPECT_LE(errors.worstLine, 48.0) << where;
            }
        }
    }
}

// A recording that stopped before its index was written is read through, and its index kept;
// the next open seeks before it reads a packet, while the palette came with the first one only.
TEST_F(PictureConversion, APaletteGivenOnceColoursEveryOpen) {
    const Row row{"raw_palette_unindexed_11x7", "rawvideo", "avi", "pal8", {11, 7}};
    QTemporaryDir folder;
    const QString path = writeClip(row, folder.path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const qsizetype index = file.readAll().lastIndexOf("idx1");
    ASSERT_GT(index, 0);
    ASSERT_TRUE(file.resize(index));
    file.close();
    const std::vector<QImage> reference = referencePictures(path);
    ASSERT_EQ(int(reference.size()), kFrames);
    for (const char* open : {"first open", "second open"}) {
        const auto source = sourcetest::openOrFail(path);
        ASSERT_TRUE(source);
        for (int n : {kFrames - 1, 0}) {
            const auto frame = source->frame(n);
            ASSERT_TRUE(frame) << open << ", frame " << n;
            const Errors errors = errorsBetween(frame->toImage(row.size), reference[size_t(n)]);
            EXPECT_LE(errors.mean, 3.0) << open << ", frame " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, PictureConversion, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
