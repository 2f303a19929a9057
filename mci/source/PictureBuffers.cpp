#include "PictureBuffers.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

namespace mci {

namespace {

constexpr size_t kPage = 4096;
// Line and plane alignment: the widest vector loads of any decoder.
constexpr int kAlign = 64;
// Past the end of every plane, as the decoders' own pool leaves it.
constexpr size_t kPlanePadding = 16 + kAlign;

size_t roundUp(size_t value, size_t to)
{
    return (value + to - 1) / to * to;
}

// Pictures let go and kept for the next: what a decoder lets go at once when a jump flushes it
// (16 reference pictures and one per thread), so that the jump decodes into memory that is
// there already; at most what four 4K pictures take, as big pictures come few at a time.
constexpr size_t kSpares = 32;
constexpr size_t kSpareBytes = size_t(48) << 20;

// Mapped with its pages in place: one call instead of a fault for every 4 kB.
uint8_t* map(size_t mapped)
{
    void* data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return data == MAP_FAILED ? nullptr : static_cast<uint8_t*>(data);
}

size_t mappedSize(size_t size)
{
    return roundUp(size, kPage);
}

}  // namespace

// The layout the decoders' default gives a picture, its planes in one mapping.
int PictureBuffers::getBuffer(AVCodecContext* context, AVFrame* frame, int flags)
{
    const auto format = AVPixelFormat(frame->format);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    const int special = AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM;
    if (!descriptor || (descriptor->flags & special) || !(context->codec->capabilities & AV_CODEC_CAP_DR1))
        return avcodec_default_get_buffer2(context, frame, flags);
    int width = frame->width, height = frame->height;
    int strideAlign[AV_NUM_DATA_POINTERS];
    avcodec_align_dimensions2(context, &width, &height, strideAlign);
    int linesizes[4] = {};
    if (av_image_fill_linesizes(linesizes, format, width) < 0)
        return avcodec_default_get_buffer2(context, frame, flags);
    ptrdiff_t strides[4] = {};
    for (int i = 0; i < 4; ++i)
        strides[i] = linesizes[i] = int(roundUp(size_t(linesizes[i]), kAlign));
    size_t sizes[4] = {};
    if (av_image_fill_plane_sizes(sizes, format, int(roundUp(size_t(height), 32)), strides) < 0)
        return avcodec_default_get_buffer2(context, frame, flags);
    size_t offsets[4] = {}, total = 0;
    for (int i = 0; i < 4; ++i) {
        offsets[i] = total;
        total += sizes[i] ? roundUp(sizes[i] + kPlanePadding, kAlign) : 0;
    }
    AVBufferRef* buffer = static_cast<PictureBuffers*>(context->opaque)->take(total);
    if (!buffer)
        return AVERROR(ENOMEM);
    frame->buf[0] = buffer;
    for (int i = 0; i < 4; ++i) {
        frame->data[i] = sizes[i] ? buffer->data + offsets[i] : nullptr;
        frame->linesize[i] = sizes[i] ? linesizes[i] : 0;
    }
    frame->extended_data = frame->data;
    return 0;
}

AVBufferRef* PictureBuffers::take(size_t size)
{
    const size_t mapped = mappedSize(size);
    uint8_t* data = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (mapped != m_spareSize) {
            for (uint8_t* spare : m_spare)
                munmap(spare, m_spareSize);
            m_spare.clear();
            m_spareSize = mapped;
        }
        if (!m_spare.empty()) {
            data = m_spare.back();
            m_spare.pop_back();
        }
    }
    if (!data)
        data = map(mapped);
    if (!data)
        return nullptr;
    AVBufferRef* buffer = av_buffer_create(data, size, letGo, this, 0);
    std::lock_guard lock(m_mutex);
    if (!buffer) {
        munmap(data, mapped);
        return nullptr;
    }
    m_out.emplace(data, mapped);
    return buffer;
}

void PictureBuffers::letGo(void* buffers, uint8_t* data)
{
    auto* self = static_cast<PictureBuffers*>(buffers);
    bool last = false;
    {
        std::lock_guard lock(self->m_mutex);
        const auto out = self->m_out.find(data);
        const size_t mapped = out->second;
        self->m_out.erase(out);
        const size_t spares = std::min(kSpares, std::max<size_t>(kSpareBytes / mapped, 4));
        if (!self->m_released && mapped == self->m_spareSize && self->m_spare.size() < spares)
            self->m_spare.push_back(data);
        else
            munmap(data, mapped);
        last = self->m_released && self->m_out.empty();
    }
    if (last)
        delete self;
}

PictureBuffers* PictureBuffers::installOn(AVCodecContext* context)
{
    auto* buffers = new PictureBuffers;
    context->opaque = buffers;
    context->get_buffer2 = getBuffer;
#if FF_API_THREAD_SAFE_CALLBACKS
    // Frame threads call getBuffer directly (it takes its own lock); unsaid, the library warns
    // on every open that it no longer serialises the calls.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    context->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
    return buffers;
}

void PictureBuffers::release()
{
    bool last = false;
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        for (uint8_t* spare : m_spare)
            munmap(spare, m_spareSize);
        m_spare.clear();
        last = m_out.empty();
    }
    if (last)
        delete this;
}

PictureBuffers::~PictureBuffers() = default;

}  // namespace mci
