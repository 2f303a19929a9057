#include "ToneMapper.h"

#include "Cores.h"
#include "PictureConverter.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/cpu.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace mci {

namespace {

constexpr int kGrid = 65;      // points a side; 64 cells of 1024 code values
constexpr int kCellBits = 10;  // 65536 / (kGrid - 1) = 2^10
constexpr int kLinesPerThread = 96;

// A large picture is spread and mapped on as many threads as the machine has cores.
int threadsFor(QSize size)
{
    return std::clamp(size.height() / kLinesPerThread, 1, coresToUse());
}

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

// 4x4 ordered dither, in 1/256 of an 8-bit level: values finer than a level rounded to 8 bits
// this way show a 10-bit gradient as one, not as bands.
constexpr uint16_t kDither[4][4] = {{8, 136, 40, 168}, {200, 72, 232, 104}, {56, 184, 24, 152}, {248, 120, 216, 88}};

// A point's fourth value: weighted like the colours, it comes out as an opaque alpha.
constexpr uint16_t kOpaque = 32767;
constexpr int kFraction = (1 << kCellBits) - 1;
// Steps between grid points along each plane's axis, and to the cell's opposite corner.
constexpr int kStepI = 1, kStepJ = kGrid, kStepK = kGrid * kGrid, kStepAll = kStepI + kStepJ + kStepK;
// Table values are 15 bits, weights 10; a level is what is left after both, the dither added.
constexpr int kLevelShift = 15 - 8 + kCellBits;
constexpr int kDitherShift = kLevelShift - 8;

// Pixels x from `from` on: tetrahedral between the cell's corner, the opposite corner and the
// two corners on the way, taken in the order of the fractions (four points where trilinear takes
// eight). The order comes from min and max, without branches, as in mapRowAvx2(); where
// fractions tie, the corner the tie leaves open has no weight.
void mapRowPortable(const uint16_t* table, const std::array<const uint16_t*, 3>& planes, uint32_t* out, int from,
                    int width, const uint16_t* dither)
{
    const auto [a, b, c] = planes;
    for (int x = from; x < width; ++x) {
        const int fi = a[x] & kFraction, fj = b[x] & kFraction, fk = c[x] & kFraction;
        const int f0 = std::max({fi, fj, fk}), f2 = std::min({fi, fj, fk}), f1 = fi + fj + fk - f0 - f2;
        const int first = fi == f0 ? kStepI : fj == f0 ? kStepJ : kStepK;
        const int second = kStepAll - (fk == f2 ? kStepK : fj == f2 ? kStepJ : kStepI);
        const int cell = ((c[x] >> kCellBits) * kGrid + (b[x] >> kCellBits)) * kGrid + (a[x] >> kCellBits);
        const uint16_t* corners[4] = {table + cell * 4, table + (cell + first) * 4, table + (cell + second) * 4,
                                      table + (cell + kStepAll) * 4};
        const int weights[4] = {kFraction + 1 - f0, f0 - f1, f1 - f2, f2};
        uint32_t pixel = 0;
        for (int channel = 0; channel < 4; ++channel) {
            int sum = dither[x & 3] << kDitherShift;
            for (int corner = 0; corner < 4; ++corner)
                sum += corners[corner][channel] * weights[corner];
            pixel |= uint32_t(std::min(sum >> kLevelShift, 255)) << (8 * channel);  // B, G, R, A
        }
        out[x] = pixel;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define MCI_AVX2_TONE_MAPPING
// Eight pixels at a time, the same arithmetic as mapRowPortable(): mapping a 4K picture one
// pixel at a time took longer than a frame lasts, on two cores.
__attribute__((target("avx2"))) void mapRowAvx2(const uint16_t* table, const std::array<const uint16_t*, 3>& planes,
                                                uint32_t* out, int width, const uint16_t* dither)
{
    const auto [a, b, c] = planes;
    const auto* points = reinterpret_cast<const long long*>(table);
    const __m256i fraction = _mm256_set1_epi32(kFraction), one = _mm256_set1_epi32(kFraction + 1);
    const __m256i stepI = _mm256_set1_epi32(kStepI), stepJ = _mm256_set1_epi32(kStepJ),
                  stepK = _mm256_set1_epi32(kStepK), stepAll = _mm256_set1_epi32(kStepAll);
    // The gathers hold pixels 0 and 2 of four in one register's halves, 1 and 3 in the other's;
    // each pixel's pair of weights and its dither are spread to match.
    const __m256i even[2] = {_mm256_setr_epi32(0, 0, 0, 0, 2, 2, 2, 2), _mm256_setr_epi32(4, 4, 4, 4, 6, 6, 6, 6)};
    const __m256i odd[2] = {_mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3), _mm256_setr_epi32(5, 5, 5, 5, 7, 7, 7, 7)};
    const __m256i ditherEven = _mm256_setr_epi32(dither[0], dither[0], dither[0], dither[0], dither[2], dither[2],
                                                 dither[2], dither[2]);
    const __m256i ditherOdd = _mm256_setr_epi32(dither[1], dither[1], dither[1], dither[1], dither[3], dither[3],
                                                dither[3], dither[3]);
    const __m256i ditherBy[2] = {_mm256_slli_epi32(ditherEven, kDitherShift),
                                 _mm256_slli_epi32(ditherOdd, kDitherShift)};
    const __m256i inOrder = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const auto load = [x](const uint16_t* plane) __attribute__((target("avx2"))) {
            return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + x)));
        };
        const __m256i va = load(a), vb = load(b), vc = load(c);
        const __m256i fi = _mm256_and_si256(va, fraction), fj = _mm256_and_si256(vb, fraction),
                      fk = _mm256_and_si256(vc, fraction);
        const __m256i f0 = _mm256_max_epi32(_mm256_max_epi32(fi, fj), fk);
        const __m256i f2 = _mm256_min_epi32(_mm256_min_epi32(fi, fj), fk);
        const __m256i f1 = _mm256_sub_epi32(_mm256_add_epi32(_mm256_add_epi32(fi, fj), fk), _mm256_add_epi32(f0, f2));
        const __m256i first = _mm256_blendv_epi8(
            _mm256_blendv_epi8(stepK, stepJ, _mm256_cmpeq_epi32(fj, f0)), stepI, _mm256_cmpeq_epi32(fi, f0));
        const __m256i last = _mm256_blendv_epi8(
            _mm256_blendv_epi8(stepI, stepJ, _mm256_cmpeq_epi32(fj, f2)), stepK, _mm256_cmpeq_epi32(fk, f2));
        const __m256i second = _mm256_sub_epi32(stepAll, last);
        const __m256i grid = _mm256_set1_epi32(kGrid);
        const __m256i cell = _mm256_add_epi32(
            _mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(vc, kCellBits), grid),
                                                _mm256_srli_epi32(vb, kCellBits)),
                               grid),
            _mm256_srli_epi32(va, kCellBits));
        const __m256i at[4] = {cell, _mm256_add_epi32(cell, first), _mm256_add_epi32(cell, second),
                               _mm256_add_epi32(cell, stepAll)};
        // Two weights to a 32-bit lane, as the multiply-adds take them: corners 0 and 1, 2 and 3.
        const __m256i w01 = _mm256_or_si256(_mm256_sub_epi32(one, f0), _mm256_slli_epi32(_mm256_sub_epi32(f0, f1), 16));
        const __m256i w23 = _mm256_or_si256(_mm256_sub_epi32(f1, f2), _mm256_slli_epi32(f2, 16));
        __m256i levels[4];
        for (int half = 0; half < 2; ++half) {
            __m256i corner[4];
            for (int k = 0; k < 4; ++k) {
                const __m128i index = half ? _mm256_extracti128_si256(at[k], 1) : _mm256_castsi256_si128(at[k]);
                corner[k] = _mm256_i32gather_epi64(points, index, 8);
            }
            for (int parity = 0; parity < 2; ++parity) {
                const __m256i* spread = parity ? odd : even;
                const auto pair = [parity](__m256i p, __m256i q) __attribute__((target("avx2"))) {
                    return parity ? _mm256_unpackhi_epi16(p, q) : _mm256_unpacklo_epi16(p, q);
                };
                const __m256i near = _mm256_madd_epi16(pair(corner[0], corner[1]),
                                                       _mm256_permutevar8x32_epi32(w01, spread[half]));
                const __m256i far = _mm256_madd_epi16(pair(corner[2], corner[3]),
                                                      _mm256_permutevar8x32_epi32(w23, spread[half]));
                const __m256i sum = _mm256_add_epi32(near, far);
                levels[half * 2 + parity] = _mm256_srli_epi32(_mm256_add_epi32(sum, ditherBy[parity]), kLevelShift);
            }
        }
        // Lanes hold pixels 0 2 | 1 3 | 4 6 | 5 7, four channels each; packed with saturation,
        // then put in order.
        const __m256i words = _mm256_packus_epi32(levels[0], levels[1]);
        const __m256i moreWords = _mm256_packus_epi32(levels[2], levels[3]);
        const __m256i bytes = _mm256_packus_epi16(words, moreWords);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_permutevar8x32_epi32(bytes, inOrder));
    }
    mapRowPortable(table, planes, out, x, width, dither);
}
#endif

// As FFmpeg sees the processor, so that its cpuflags setting holds here too.
bool mapsEightAtOnce()
{
#ifdef MCI_AVX2_TONE_MAPPING
    return av_get_cpu_flags() & AV_CPU_FLAG_AVX2;
#else
    return false;
#endif
}

void mapRow(const uint16_t* table, const std::array<const uint16_t*, 3>& planes, uint32_t* out, int width, int y,
            bool eightAtOnce)
{
    const uint16_t* dither = kDither[y & 3];
#ifdef MCI_AVX2_TONE_MAPPING
    if (eightAtOnce) {
        mapRowAvx2(table, planes, out, width, dither);
        return;
    }
#endif
    mapRowPortable(table, planes, out, 0, width, dither);
}

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
    m_table.assign(size_t(kGrid) * kGrid * kGrid * 4, kOpaque);
    for (size_t point = 0; point < size_t(kGrid) * kGrid * kGrid; ++point)
        for (int channel = 0; channel < 3; ++channel)
            m_table[point * 4 + size_t(2 - channel)] =
                uint16_t(std::min((rgb[point * 3 + size_t(channel)] + 1) >> 1, 32767));
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
                                    SWS_CS_DEFAULT, threadsFor(size)));
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
    // Through the frame interface, the one that spreads the work over the scaler's threads: at
    // 4K, on one core, this step alone took half a frame's time.
    return sws_scale_frame(m_spreader.get(), m_spread.get(), frame) >= 0;
}

void ToneMapper::mapLines(uint8_t* destination, int stride, int first, int end) const
{
    const bool eightAtOnce = mapsEightAtOnce();
    for (int y = first; y < end; ++y)
        mapRow(m_table.data(), {reinterpret_cast<const uint16_t*>(m_spread->data[0] + y * m_spread->linesize[0]),
                                reinterpret_cast<const uint16_t*>(m_spread->data[1] + y * m_spread->linesize[1]),
                                reinterpret_cast<const uint16_t*>(m_spread->data[2] + y * m_spread->linesize[2])},
               reinterpret_cast<uint32_t*>(destination + size_t(y) * size_t(stride)), m_spread->width, y, eightAtOnce);
}

bool ToneMapper::map(const AVFrame* frame, QSize size, uint8_t* destination, int stride)
{
    const FramePtr input = described(frame);
    if (!input || size.isEmpty() || !makeTable(input.get()) || !spread(input.get(), size))
        return false;
    const int threads = threadsFor(size);
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
