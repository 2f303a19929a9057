#include "DecodedFrameData.h"

#include "SourceErrors.h"

extern "C" {
#include <libavutil/display.h>
}

#include <QTransform>

#include <array>
#include <atomic>

namespace mci {

namespace {

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

// The last scaler each thread used: playback converts every picture at one size and format, and
// setting a scaler up costs as much as a small conversion.
struct ScalerCache {
    SwsContext* context = nullptr;
    std::array<int, 5> shape{};  // what context converts: width, height, format, target size
    int matrix = -1;
    bool fullRange = false;
    ~ScalerCache() { sws_freeContext(context); }
};

SwsContext* scalerFor(const AVFrame* frame, QSize target)
{
    thread_local ScalerCache cache;
    // Bicubic without the accurate-rounding and full-chroma options: those made a picture
    // scaled to 1920x1440 take 26 ms instead of 5, too slow to show 30 frames a second. Made
    // smaller, each pixel the average of those it covers: sharper than bicubic there, and twice
    // as fast (4K shown at a third: 3 ms a picture instead of 6).
    const bool smaller = target.width() < frame->width && target.height() < frame->height;
    SwsContext* scaler = sws_getCachedContext(cache.context, frame->width, frame->height, withoutRange(frame->format),
                                              target.width(), target.height(), AV_PIX_FMT_RGB32,
                                              smaller ? SWS_AREA : SWS_BICUBIC, nullptr, nullptr, nullptr);
    // Compared by shape, not by pointer: a renewed context may reuse the freed one's address.
    const std::array<int, 5> shape{frame->width, frame->height, frame->format, target.width(), target.height()};
    const bool renewed = scaler != cache.context || shape != cache.shape;
    cache.context = scaler;
    cache.shape = shape;
    if (!scaler)
        return nullptr;
    const int matrix = colorMatrix(frame);
    const bool full = fullRange(frame);
    if (renewed || matrix != cache.matrix || full != cache.fullRange) {
        sws_setColorspaceDetails(scaler, sws_getCoefficients(matrix), full ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                 0, 1 << 16, 1 << 16);
        cache.matrix = matrix;
        cache.fullRange = full;
    }
    return scaler;
}

}  // namespace

Orientation orientationOf(const AVStream* stream)
{
    size_t size = 0;
    const auto* matrix =
        reinterpret_cast<const int32_t*>(av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size));
    if (!matrix || size < 9 * sizeof(int32_t))
        return {};
    // 16.16 fixed point; a point (x, y) of the coded picture is shown at (a x + c y, b x + d y).
    const auto sign = [](int32_t value) { return value > (1 << 15) ? 1 : value < -(1 << 15) ? -1 : 0; };
    int a = sign(matrix[0]), b = sign(matrix[1]);
    const int c = sign(matrix[3]), d = sign(matrix[4]);
    const int determinant = a * d - b * c;
    if (determinant != 1 && determinant != -1)
        return {};
    Orientation orientation;
    // A mirrored matrix is a turn after swapping left and right: (a, b) turned back by the swap.
    orientation.mirrored = determinant < 0;
    if (orientation.mirrored) {
        a = -a;
        b = -b;
    }
    // What is left turns (1, 0) to (a, b): right stays right, points down, left or up.
    orientation.quarterTurns = a == 1 ? 0 : b == 1 ? 1 : a == -1 ? 2 : 3;
    return orientation;
}

QImage Orientation::apply(const QImage& coded) const
{
    if (isUpright())
        return coded;
    const QImage swapped = mirrored ? coded.mirrored(true, false) : coded;
    return quarterTurns == 0 ? swapped : swapped.transformed(QTransform().rotate(90.0 * quarterTurns));
}

namespace {

std::atomic<qint64> s_bytesAlive{0};

}  // namespace

DecodedFrame::DecodedFrame(std::unique_ptr<Data> data) : m_data(std::move(data))
{
    for (const AVBufferRef* buffer : m_data->frame->buf) {
        if (buffer)
            m_bytes += qint64(buffer->size);
    }
    m_bytes += sizeof(AVFrame);
    s_bytesAlive += m_bytes;
}

DecodedFrame::~DecodedFrame()
{
    s_bytesAlive -= m_bytes;
}

qint64 DecodedFrame::bytesAlive()
{
    return s_bytesAlive.load();
}

int DecodedFrame::number() const { return m_data->number; }

qint64 DecodedFrame::ptsUs() const { return m_data->ptsUs; }

QSize DecodedFrame::size() const { return QSize(m_data->frame->width, m_data->frame->height); }

QSize DecodedFrame::shownSize() const
{
    const AVRational aspect = m_data->frame->sample_aspect_ratio;
    QSize shown = size();
    if (aspect.num > 0 && aspect.den > 0)
        shown.setWidth(int(std::clamp<qint64>(av_rescale(shown.width(), aspect.num, aspect.den), 1, kMaxPictureSide * 4)));
    return m_data->orientation.shown(shown);
}

qint64 DecodedFrame::bytes() const
{
    return m_bytes;
}

QImage DecodedFrame::toImage(QSize shown) const
{
    const AVFrame* frame = m_data->frame.get();
    if (shown.isEmpty() || shown.width() > kMaxPictureSide || shown.height() > kMaxPictureSide)
        return {};
    // Scaled as coded, then turned: turning the smaller of the two costs least.
    const QSize target = m_data->orientation.shown(shown);
    SwsContext* scaler = scalerFor(frame, target);
    if (!scaler)
        return {};
    QImage image(target, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    uint8_t* planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    if (sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides) <= 0)
        return {};
    return m_data->orientation.apply(image);
}

}  // namespace mci
