#include "ToneMapper.h"

#include "Cores.h"
#include "PictureConverter.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

namespace mci {

namespace {

constexpr int kGrid = 65;      // points a side; 64 cells of 1024 code values
constexpr int kCellBits = 10;  // 65536 / (kGrid - 1) = 2^10
constexpr int kLinesPerThread = 96;

bool hdrTransfer(int transfer)
{
    return transfer == AVCOL_TRC_SMPTE2084 || transfer == AVCOL_TRC_ARIB_STD_B67;
}

bool isRgb(int format)
{
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(format));
    return descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB);
}

AVPixelFormat wideFormat(const AVFrame* frame)
{
    return isRgb(frame->format) ? AV_PIX_FMT_GBRP16 : AV_PIX_FMT_YUV444P16;
}

// A reference to frame with what it leaves unsaid filled in as such video means it: the filters
// refuse a picture whose transfer, primaries or matrix they do not know.
FramePtr described(const AVFrame* frame)
{
    FramePtr copy(av_frame_alloc());
    if (!copy || av_frame_ref(copy.get(), frame) < 0)
        return nullptr;
    if (copy->color_primaries == AVCOL_PRI_UNSPECIFIED || copy->color_primaries == AVCOL_PRI_RESERVED)
        copy->color_primaries = AVCOL_PRI_BT2020;
    if (copy->color_trc == AVCOL_TRC_UNSPECIFIED || copy->color_trc == AVCOL_TRC_RESERVED)
        copy->color_trc = AVCOL_TRC_BT2020_10;
    if (isRgb(copy->format))
        copy->colorspace = AVCOL_SPC_RGB;
    else if (copy->colorspace == AVCOL_SPC_UNSPECIFIED || copy->colorspace == AVCOL_SPC_RESERVED)
        copy->colorspace = AVCOL_SPC_BT2020_NCL;
    if (copy->color_range == AVCOL_RANGE_UNSPECIFIED)
        copy->color_range = isRgb(copy->format) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    return copy;
}

struct GraphDeleter {
    void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};

// One picture through the colour library's chain, to 16-bit 4:4:4 BT.709 in limited range (the
// chain's own end, kept at 16 bits); null when the library does not take it.
FramePtr throughChain(const AVFrame* picture)
{
    std::unique_ptr<AVFilterGraph, GraphDeleter> graph(avfilter_graph_alloc());
    if (!graph)
        return nullptr;
    graph->nb_threads = 1;  // the grid is small; threads would cost more than they save
    char arguments[160];
    std::snprintf(arguments, sizeof arguments, "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=1/1",
                  picture->width, picture->height, picture->format);
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    if (avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), "in", arguments, nullptr, graph.get()) < 0
        || avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph.get()) < 0)
        return nullptr;
    char chain[400];
    std::snprintf(chain, sizeof chain,
                  "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=709%s,zscale=t=709:m=709:r=tv,format=yuv444p16le",
                  hdrTransfer(picture->color_trc) ? ",tonemap=tonemap=hable:desat=0" : "");
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    bool built = outputs && inputs;
    if (built) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = source;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink;
        built = avfilter_graph_parse_ptr(graph.get(), chain, &inputs, &outputs, nullptr) >= 0
                && avfilter_graph_config(graph.get(), nullptr) >= 0;
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    FramePtr input(av_frame_clone(picture));
    FramePtr output(av_frame_alloc());
    if (!built || !input || !output || av_buffersrc_add_frame(source, input.get()) < 0
        || av_buffersink_get_frame(sink, output.get()) < 0 || output->format != AV_PIX_FMT_YUV444P16
        || output->width != picture->width || output->height != picture->height)
        return nullptr;
    return output;
}

// 4x4 ordered dither, in 1/256 of an 8-bit level: 16-bit values rounded to 8 this way show a
// 10-bit gradient as one, not as bands.
constexpr uint16_t kDither[4][4] = {{8, 136, 40, 168}, {200, 72, 232, 104}, {56, 184, 24, 152}, {248, 120, 216, 88}};

}  // namespace

bool ToneMapper::needed(const AVFrame* frame)
{
    return hdrTransfer(frame->color_trc) || frame->color_primaries == AVCOL_PRI_BT2020;
}

bool ToneMapper::makeTable(const AVFrame* frame)
{
    const std::array<int, 5> description{frame->color_primaries, frame->color_trc, frame->colorspace, frame->color_range,
                                         int(wideFormat(frame))};
    if (m_tableMade && description == m_tableFor)
        return true;
    m_tableMade = false;
    FramePtr grid(av_frame_alloc());
    if (!grid)
        return false;
    grid->format = wideFormat(frame);
    grid->width = kGrid * kGrid;
    grid->height = kGrid;
    grid->color_primaries = frame->color_primaries;
    grid->color_trc = frame->color_trc;
    grid->colorspace = frame->colorspace;
    grid->color_range = frame->color_range;
    if (av_frame_get_buffer(grid.get(), 0) < 0)
        return false;
    const auto code = [](int point) { return uint16_t(std::min(65535, point << kCellBits)); };
    for (int k = 0; k < kGrid; ++k) {
        const std::array<uint16_t*, 3> planes{reinterpret_cast<uint16_t*>(grid->data[0] + k * grid->linesize[0]),
                                              reinterpret_cast<uint16_t*>(grid->data[1] + k * grid->linesize[1]),
                                              reinterpret_cast<uint16_t*>(grid->data[2] + k * grid->linesize[2])};
        for (int j = 0; j < kGrid; ++j)
            for (int i = 0; i < kGrid; ++i) {
                planes[0][j * kGrid + i] = code(i);
                planes[1][j * kGrid + i] = code(j);
                planes[2][j * kGrid + i] = code(k);
            }
    }
    const FramePtr mapped = throughChain(grid.get());
    if (!mapped)
        return false;
    const QSize size(mapped->width, mapped->height);
    SwsPtr toRgb(makeScaler(size, mapped->format, size, AV_PIX_FMT_RGB48, SWS_POINT | SWS_ACCURATE_RND, false, SWS_CS_ITU709));
    std::vector<uint16_t> rgb(size_t(kGrid) * kGrid * kGrid * 3 + 16);
    uint8_t* planes[4] = {reinterpret_cast<uint8_t*>(rgb.data()), nullptr, nullptr, nullptr};
    int strides[4] = {kGrid * kGrid * 3 * 2, 0, 0, 0};
    if (!toRgb || sws_scale(toRgb.get(), mapped->data, mapped->linesize, 0, mapped->height, planes, strides) <= 0)
        return false;
    m_table.assign(size_t(kGrid) * kGrid * kGrid * 4, 0);
    for (size_t point = 0; point < size_t(kGrid) * kGrid * kGrid; ++point)
        std::copy_n(&rgb[point * 3], 3, &m_table[point * 4]);
    m_tableFor = description;
    m_tableMade = true;
    return true;
}

bool ToneMapper::spread(const AVFrame* frame, QSize size)
{
    const std::array<int, 6> shape{frame->width, frame->height, frame->format, frame->color_range, size.width(),
                                   size.height()};
    if (!m_spreader || shape != m_spreaderFor) {
        const bool smaller = size.width() < frame->width && size.height() < frame->height;
        m_spreader.reset(makeScaler(QSize(frame->width, frame->height), frame->format, size, wideFormat(frame),
                                    smaller ? SWS_AREA : SWS_BICUBIC, frame->color_range == AVCOL_RANGE_JPEG,
                                    SWS_CS_DEFAULT));
        m_spreaderFor = shape;
        m_spread.reset(av_frame_alloc());
        if (!m_spreader || !m_spread)
            return false;
        m_spread->format = wideFormat(frame);
        m_spread->width = size.width();
        m_spread->height = size.height();
        if (av_frame_get_buffer(m_spread.get(), 0) < 0) {
            m_spreader.reset();
            return false;
        }
    }
    return sws_scale(m_spreader.get(), frame->data, frame->linesize, 0, frame->height, m_spread->data,
                     m_spread->linesize) > 0;
}

void ToneMapper::mapLines(uint8_t* destination, int stride, int first, int end) const
{
    constexpr int kFraction = (1 << kCellBits) - 1;
    constexpr int di = 4, dj = kGrid * 4, dk = kGrid * kGrid * 4;
    const uint16_t* table = m_table.data();
    const int width = m_spread->width;
    for (int y = first; y < end; ++y) {
        const auto* a = reinterpret_cast<const uint16_t*>(m_spread->data[0] + y * m_spread->linesize[0]);
        const auto* b = reinterpret_cast<const uint16_t*>(m_spread->data[1] + y * m_spread->linesize[1]);
        const auto* c = reinterpret_cast<const uint16_t*>(m_spread->data[2] + y * m_spread->linesize[2]);
        auto* out = reinterpret_cast<uint32_t*>(destination + size_t(y) * size_t(stride));
        const uint16_t* dither = kDither[y & 3];
        for (int x = 0; x < width; ++x) {
            const uint16_t* p = table + (((c[x] >> kCellBits) * kGrid + (b[x] >> kCellBits)) * kGrid + (a[x] >> kCellBits)) * 4;
            const int fi = a[x] & kFraction, fj = b[x] & kFraction, fk = c[x] & kFraction;
            // Tetrahedral: the cell's corner, and the three corners on the way to the opposite
            // one, taken in the order of the fractions (four points where trilinear takes eight).
            int first = di, second = di + dj, f0 = fi, f1 = fj, f2 = fk;
            if (fi >= fj) {
                if (fj >= fk) {
                } else if (fi >= fk) {
                    second = di + dk, f1 = fk, f2 = fj;
                } else {
                    first = dk, second = di + dk, f0 = fk, f1 = fi, f2 = fj;
                }
            } else if (fk >= fj) {
                first = dk, second = dj + dk, f0 = fk, f1 = fj, f2 = fi;
            } else if (fk >= fi) {
                first = dj, second = dj + dk, f0 = fj, f1 = fk, f2 = fi;
            } else {
                first = dj, f0 = fj, f1 = fi, f2 = fk;
            }
            const uint16_t* q1 = p + first;
            const uint16_t* q2 = p + second;
            const uint16_t* q3 = p + di + dj + dk;
            uint32_t pixel = 0xff000000u;
            for (int channel = 0; channel < 3; ++channel) {
                const int value = p[channel] + (((q1[channel] - p[channel]) * f0 + (q2[channel] - q1[channel]) * f1
                                                 + (q3[channel] - q2[channel]) * f2) >> kCellBits);
                const uint32_t level = uint32_t(std::clamp((value + dither[x & 3]) >> 8, 0, 255));
                pixel |= level << (16 - 8 * channel);  // R, G, B into 0xAARRGGBB
            }
            out[x] = pixel;
        }
    }
}

bool ToneMapper::map(const AVFrame* frame, QSize size, uint8_t* destination, int stride)
{
    const FramePtr input = described(frame);
    if (!input || size.isEmpty() || !makeTable(input.get()) || !spread(input.get(), size))
        return false;
    const int threads = std::clamp(size.height() / kLinesPerThread, 1, coresToUse());
    std::vector<std::thread> helpers;
    const int share = (size.height() + threads - 1) / threads;
    for (int t = 1; t < threads; ++t)
        helpers.emplace_back([=, this] { mapLines(destination, stride, t * share, std::min(size.height(), (t + 1) * share)); });
    mapLines(destination, stride, 0, std::min(size.height(), share));
    for (std::thread& helper : helpers)
        helper.join();
    return true;
}

}  // namespace mci
