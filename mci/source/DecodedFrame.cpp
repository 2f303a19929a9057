#include "DecodedFrameData.h"

#include "PictureConverter.h"
#include "SourceErrors.h"

extern "C" {
#include <libavutil/display.h>
}

#include <QTransform>

#include <atomic>

namespace mci {

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
    if (shown.isEmpty() || shown.width() > kMaxPictureSide || shown.height() > kMaxPictureSide)
        return {};
    // Scaled as coded, then turned: turning the smaller of the two costs least.
    return m_data->orientation.apply(convertedPicture(m_data->frame.get(), m_data->orientation.shown(shown)));
}

DecodedFrame::Layout DecodedFrame::layoutOf(QSize target)
{
    const ScreenLayout layout = ScreenLayout::of(target);
    return {layout.stride, qint64(layout.bytes)};
}

bool DecodedFrame::convertInto(QSize target, uchar* destination, int stride) const
{
    if (target.isEmpty() || target.width() > kMaxPictureSide || target.height() > kMaxPictureSide)
        return false;
    return convertPicture(m_data->frame.get(), target, destination, stride);
}

}  // namespace mci
