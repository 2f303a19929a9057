#include "DecodedFrameData.h"

#include "SourceErrors.h"

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

}  // namespace

DecodedFrame::DecodedFrame(std::unique_ptr<Data> data) : m_data(std::move(data)) {}

DecodedFrame::~DecodedFrame() = default;

int DecodedFrame::number() const { return m_data->number; }

qint64 DecodedFrame::ptsUs() const { return m_data->ptsUs; }

QSize DecodedFrame::size() const { return QSize(m_data->frame->width, m_data->frame->height); }

QImage DecodedFrame::toImage(QSize target) const
{
    const AVFrame* frame = m_data->frame.get();
    if (target.isEmpty() || target.width() > kMaxPictureSide || target.height() > kMaxPictureSide)
        return {};
    // Bicubic without the accurate-rounding and full-chroma options: those made a picture
    // scaled to 1920x1440 take 26 ms instead of 5, too slow to show 30 frames a second.
    SwsPtr scaler(sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), target.width(),
                                 target.height(), AV_PIX_FMT_RGB32, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!scaler)
        return {};
    const int* coefficients = sws_getCoefficients(colorMatrix(frame));
    sws_setColorspaceDetails(scaler.get(), coefficients, fullRange(frame) ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT),
                             1, 0, 1 << 16, 1 << 16);
    QImage image(target, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    uint8_t* planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) <= 0)
        return {};
    return image;
}

}  // namespace mci
