#include "PictureConverter.h"

#include "LargePages.h"
#include "ScreenMemory.h"
#include "SourceErrors.h"
#include "ToneMapper.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <array>
#include <memory>

namespace mci {

namespace {

constexpr size_t kAlign = 64;
// A line to spare after the last: no converter met in the tests needs it, but the vector paths
// differ from one processor to another, and a line costs next to nothing.
constexpr int kTailLines = 1;

bool fullRange(const AVFrame* frame)
{
    switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return true;
    default:
        return frame->color_range == AVCOL_RANGE_JPEG;
    }
}

// The matrix the picture was encoded with; pictures that do not say are treated as their size
// suggests (high definition: BT.709, otherwise BT.601).
int colorMatrix(const AVFrame* frame)
{
    if (frame->colorspace != AVCOL_SPC_UNSPECIFIED && frame->colorspace != AVCOL_SPC_RESERVED)
        return int(frame->colorspace);
    return frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
}

// The full-range ("J") formats are the plain ones with another range, which the scaler is told
// separately; named as themselves they make it warn about every picture.
AVPixelFormat withoutRange(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        return AV_PIX_FMT_YUV411P;
    default:
        return AVPixelFormat(format);
    }
}

SwsContext* scalerFor(const AVFrame* frame, QSize target)
{
    struct Cached {
        SwsPtr scaler;
        std::array<int, 7> shape{};  // what scaler converts: size, format, matrix, range, target size
    };
    thread_local Cached cached;
    const AVPixelFormat format = withoutRange(frame->format);
    if (!sws_isSupportedInput(format))
        return nullptr;
    const int matrix = colorMatrix(frame);
    const bool full = fullRange(frame);
    const std::array<int, 7> shape{frame->width, frame->height, frame->format, matrix, full, target.width(), target.height()};
    if (!cached.scaler || shape != cached.shape) {
        // Bicubic without the accurate-rounding and full-chroma options: those made a picture
        // scaled to 1920x1440 take 26 ms instead of 5, too slow to show 30 frames a second.
        // Made smaller, each pixel the average of those it covers: sharper than bicubic there,
        // and twice as fast (4K shown at a third: 3 ms a picture instead of 6).
        const bool smaller = target.width() < frame->width && target.height() < frame->height;
        cached.scaler.reset(makeScaler(QSize(frame->width, frame->height), format, target, AV_PIX_FMT_RGB32,
                                       smaller ? SWS_AREA : SWS_BICUBIC, full, matrix));
        cached.shape = shape;
    }
    return cached.scaler.get();
}

bool scale(const AVFrame* frame, QSize target, uint8_t* destination, int stride)
{
    SwsContext* scaler = scalerFor(frame, target);
    if (!scaler)
        return false;
    uint8_t* planes[4] = {destination, nullptr, nullptr, nullptr};
    int strides[4] = {stride, 0, 0, 0};
    if (sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides) <= 0)
        return false;
    // The picture is shown opaque, as Format_RGB32 requires; the scaler carries a picture's
    // own alpha over into the fourth byte.
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA)) {
        for (int y = 0; y < target.height(); ++y) {
            auto* line = reinterpret_cast<uint32_t*>(destination + size_t(y) * size_t(stride));
            for (int x = 0; x < target.width(); ++x)
                line[x] |= 0xff000000u;
        }
    }
    return true;
}

// Tone-mapped at the size shown where that is smaller, else at the picture's own size and then
// enlarged by the scaler: mapping costs by the pixel.
QSize toneMappedSize(const AVFrame* frame, QSize target)
{
    return target.width() <= frame->width && target.height() <= frame->height ? target
                                                                                : QSize(frame->width, frame->height);
}

struct MemoryDeleter {
    void operator()(uint8_t* memory) const { av_free(memory); }
};

bool toneMapped(const AVFrame* frame, QSize target, uint8_t* destination, int stride)
{
    thread_local ToneMapper mapper;
    const QSize mapped = toneMappedSize(frame, target);
    if (mapped == target)
        return mapper.map(frame, target, destination, stride);
    const ScreenLayout layout = ScreenLayout::of(mapped);
    std::unique_ptr<uint8_t, MemoryDeleter> memory(static_cast<uint8_t*>(av_malloc(layout.bytes)));
    FramePtr picture(av_frame_alloc());
    if (!memory || !picture || !mapper.map(frame, mapped, memory.get(), layout.stride))
        return false;
    picture->data[0] = memory.get();
    picture->linesize[0] = layout.stride;
    picture->width = mapped.width();
    picture->height = mapped.height();
    picture->format = AV_PIX_FMT_RGB32;
    picture->color_range = AVCOL_RANGE_JPEG;
    return scale(picture.get(), target, destination, stride);
}

}  // namespace

SwsContext* makeScaler(QSize from, int fromFormat, QSize to, int toFormat, int flags, bool fullRange, int matrix,
                       int threads)
{
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(toFormat));
    const bool toRgb = descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB);
    SwsContext* scaler = sws_alloc_context();
    if (!scaler)
        return nullptr;
    av_opt_set_int(scaler, "srcw", from.width(), 0);
    av_opt_set_int(scaler, "srch", from.height(), 0);
    av_opt_set_int(scaler, "src_format", fromFormat, 0);
    av_opt_set_int(scaler, "dstw", to.width(), 0);
    av_opt_set_int(scaler, "dsth", to.height(), 0);
    av_opt_set_int(scaler, "dst_format", toFormat, 0);
    av_opt_set_int(scaler, "sws_flags", flags, 0);
    av_opt_set_int(scaler, "src_range", fullRange ? 1 : 0, 0);
    av_opt_set_int(scaler, "dst_range", toRgb || fullRange ? 1 : 0, 0);
    av_opt_set_int(scaler, "threads", threads, 0);
    if (sws_init_context(scaler, nullptr, nullptr) < 0) {
        sws_freeContext(scaler);
        return nullptr;
    }
    if (toRgb)
        sws_setColorspaceDetails(scaler, sws_getCoefficients(matrix), fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT),
                                 1, 0, 1 << 16, 1 << 16);
    return scaler;
}

ScreenLayout ScreenLayout::of(QSize size)
{
    if (size.isEmpty())
        return {};
    ScreenLayout layout;
    layout.stride = int(roundUp(size_t(size.width()) * 4, kAlign));
    layout.bytes = size_t(layout.stride) * size_t(size.height() + kTailLines);
    return layout;
}

bool convertPicture(const AVFrame* frame, QSize target, uint8_t* destination, int stride)
{
    if (!frame || frame->width <= 0 || frame->height <= 0 || target.isEmpty())
        return false;
    if (ToneMapper::needed(frame) && toneMapped(frame, target, destination, stride))
        return true;
    // HDR that the colour library does not take is shown as if it were BT.709: the one fallback.
    return scale(frame, target, destination, stride);
}

QImage convertedPicture(const AVFrame* frame, QSize target)
{
    const ScreenLayout layout = ScreenLayout::of(target);
    if (layout.bytes == 0 || target.width() > kMaxPictureSide || target.height() > kMaxPictureSide)
        return {};
    uint8_t* memory = screenMemory::take(layout.bytes);
    if (!memory)
        return {};
    if (!convertPicture(frame, target, memory, layout.stride)) {
        screenMemory::giveBack(memory);
        return {};
    }
    return QImage(memory, target.width(), target.height(), layout.stride, QImage::Format_RGB32, screenMemory::giveBack,
                  memory);
}

}  // namespace mci
