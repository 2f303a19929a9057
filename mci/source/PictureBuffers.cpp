#include "PictureBuffers.h"

#include "FrameCache.h"
#include "LargePages.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <QtGlobal>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <thread>

namespace mci {

namespace {

// Line and plane alignment: the widest vector loads of any decoder.
constexpr int kAlign = 64;
// Past the end of every plane, as the decoders' own pool leaves it.
constexpr size_t kPlanePadding = 16 + kAlign;

// Pictures let go and kept for the next: what a decoder lets go at once when a jump flushes it
// (16 reference pictures and one per thread), so that the jump decodes into memory that is
// there already; at most what four 4K pictures take, as big pictures come few at a time.
constexpr size_t kSpares = 32;
constexpr size_t kSpareBytes = size_t(48) << 20;
// Pictures mapped together: four large pages, five 720p pictures, one 4K picture.
constexpr size_t kBlockBytes = size_t(8) << 20;

// After every picture: bytes a decoder that writes past the layout it was given changes, found
// when the picture is let go. The sanitizers do not see FFmpeg's writes, and with the pictures
// of a block side by side such a write would land in the next picture unnoticed.
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xA5;

std::atomic<int> s_overruns{0};
std::atomic<int> s_mappedOnTheWay{0};

// Blocks let go, kept for the next decoder whose pictures are of the same size: a file opened
// after another of its kind (the same one again, the next clip from a camera) decodes its first
// jump into memory already written, where fresh memory costs about as much as decoding (a
// fifth of a 720p jump from a fresh open). And blocks written ahead (BlockWarmer). The most
// recent first; at most a quarter of the picture budget (256 MB of a gigabyte): a jump at
// 1080p, or the three seconds behind a step back at 720p.
KeptMappings& idleBlocks()
{
    // Never destroyed: pictures may outlive statics.
    static auto* const blocks =
        new KeptMappings([] { return size_t(std::max<qint64>(FrameCache::defaultBudget(), 0) / 4); }, SIZE_MAX);
    return *blocks;
}

// Writes blocks for the pictures a decoder is about to keep before it asks for them, on a thread
// that runs only where a core is idle, and leaves them with the idle blocks. A page is zeroed by
// the kernel when first written: written on the decoder's path, the span kept behind a step back
// spent a third of its time there (1080p), while frame threads waiting on each other leave a
// core idle for much of a span. One thread for the process, never ended: it waits for work.
class BlockWarmer {
public:
    // Begun by the first request: a process that never keeps a span has no such thread.
    static BlockWarmer& instance()
    {
        static auto* const warmer = s_warmer = new BlockWarmer;
        return *warmer;
    }
    static BlockWarmer* begun() { return s_warmer; }

    // blocks more of bytes each, in place of what was asked before.
    void ask(size_t bytes, size_t blocks)
    {
        std::lock_guard lock(m_mutex);
        m_bytes = bytes;
        m_blocks = blocks;
        if (blocks > 0)
            m_asked.notify_one();
    }

    // A decoder mapped a block itself: the warmer was behind, and that block is needed no more.
    void mappedOne(size_t bytes)
    {
        std::lock_guard lock(m_mutex);
        if (bytes == m_bytes && m_blocks > 0)
            --m_blocks;
    }

    bool busy()
    {
        std::lock_guard lock(m_mutex);
        return m_blocks > 0 || m_writing;
    }

private:
    BlockWarmer() { std::thread([this] { run(); }).detach(); }

    void run()
    {
        const sched_param none{};
        if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &none) != 0)
            setpriority(PRIO_PROCESS, 0, 19);  // this thread alone, on Linux
        for (;;) {
            size_t bytes = 0;
            {
                std::unique_lock lock(m_mutex);
                m_writing = false;
                m_asked.wait(lock, [this] { return m_blocks > 0; });
                bytes = m_bytes;
                --m_blocks;
                m_writing = true;
            }
            uint8_t* const data = idleBlocks().room(bytes) > 0 ? mapLargePages(bytes) : nullptr;
            if (!data) {
                ask(0, 0);
                continue;
            }
            // The first write of each page (of each large page, where there are) has it zeroed.
            for (size_t at = 0; at < bytes; at += kPage)
                reinterpret_cast<volatile uint8_t*>(data)[at] = 0;
            idleBlocks().keep(data, bytes);
        }
    }

    static inline std::atomic<BlockWarmer*> s_warmer{nullptr};
    std::mutex m_mutex;
    std::condition_variable m_asked;
    size_t m_bytes = 0;
    size_t m_blocks = 0;
    bool m_writing = false;
};

// Blocks none of whose pictures is out: kept for the next decoder when theirs is gone, else
// given back, as the frame cache lets go of what lies far behind.
void giveBack(const std::vector<std::pair<uint8_t*, size_t>>& blocks, bool decoderGone)
{
    for (const auto& [first, bytes] : blocks) {
        if (decoderGone)
            idleBlocks().keep(first, bytes);
        else
            unmapLargePages(first, bytes);
    }
}

void guard(uint8_t* data, size_t size)
{
    std::memset(data + size, kGuard, kGuardBytes);
}

bool guardHolds(const uint8_t* data, size_t size)
{
    return std::all_of(data + size, data + size + kGuardBytes, [](uint8_t b) { return b == kGuard; });
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
    const size_t stride = roundUp(size + kGuardBytes, kPage);
    uint8_t* data = nullptr;
    {
        std::lock_guard lock(m_mutex);
        data = takeSpare(size);
    }
    if (!data) {
        // Mapped outside the lock: the decoder's other threads give pictures back meanwhile.
        const int count = int(std::max<size_t>(kBlockBytes / stride, 1));
        data = idleBlocks().take(stride * size_t(count));
        if (!data) {
            data = mapLargePages(stride * size_t(count));
            ++s_mappedOnTheWay;
            if (BlockWarmer* const warmer = BlockWarmer::begun())
                warmer->mappedOne(stride * size_t(count));
        }
        if (!data)
            return nullptr;
        std::lock_guard lock(m_mutex);
        m_blocks.emplace(data, Block{size, stride, count, 1});
        for (int i = 1; i < count && size == m_spareSize; ++i)
            m_spare.push_back(data + size_t(i) * stride);
    }
    guard(data, size);
    AVBufferRef* buffer = av_buffer_create(data, size, letGo, this, 0);
    if (!buffer)
        letGo(this, data);
    return buffer;
}

void PictureBuffers::prepare(int pictures)
{
    size_t bytes = 0, blocks = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_spareSize == 0 || m_released || size_t(pictures) <= m_spare.size())
            return;
        const size_t stride = roundUp(m_spareSize + kGuardBytes, kPage);
        const size_t count = std::max<size_t>(kBlockBytes / stride, 1);
        bytes = stride * count;
        blocks = (size_t(pictures) - m_spare.size() + count - 1) / count;
    }
    const size_t ready = idleBlocks().count(bytes);
    if (blocks > ready)
        BlockWarmer::instance().ask(bytes, std::min(blocks - ready, idleBlocks().room(bytes)));
}

int PictureBuffers::blocksMappedOnTheWay()
{
    return s_mappedOnTheWay.load();
}

bool PictureBuffers::preparing()
{
    BlockWarmer* const warmer = BlockWarmer::begun();
    return warmer && warmer->busy();
}

uint8_t* PictureBuffers::takeSpare(size_t size)
{
    // A new size (a stream whose pictures change size) makes the spares of the old one useless.
    if (size != m_spareSize) {
        m_spare.clear();
        m_spareSize = size;
    }
    if (m_spare.empty())
        return nullptr;
    uint8_t* data = m_spare.back();
    m_spare.pop_back();
    if (std::prev(m_blocks.upper_bound(data))->second.out++ == 0)
        --m_idleBlocks;
    return data;
}

void PictureBuffers::letGo(void* buffers, uint8_t* data)
{
    auto* self = static_cast<PictureBuffers*>(buffers);
    std::vector<std::pair<uint8_t*, size_t>> idle;
    bool released = false, last = false;
    {
        std::lock_guard lock(self->m_mutex);
        released = self->m_released;
        const auto block = std::prev(self->m_blocks.upper_bound(data));
        if (--block->second.out == 0)
            ++self->m_idleBlocks;
        if (!guardHolds(data, block->second.size) && s_overruns++ == 0)
            qWarning("A video decoder wrote past the end of a picture");
        const bool spare = !self->m_released && block->second.size == self->m_spareSize;
        if (spare)
            self->m_spare.push_back(data);
        const size_t keep = std::min(kSpares, std::max<size_t>(kSpareBytes / block->second.stride, 4));
        if ((!spare || self->m_spare.size() > keep) && self->m_idleBlocks > 0)
            idle = self->takeIdleBlocks(keep);
        last = self->m_released && self->m_blocks.empty();
    }
    giveBack(idle, released);
    if (last)
        delete self;
}

// Blocks none of whose pictures is out, until no more than keep spares remain; they are the
// caller's to unmap, outside the lock.
std::vector<std::pair<uint8_t*, size_t>> PictureBuffers::takeIdleBlocks(size_t keep)
{
    std::vector<std::pair<uint8_t*, size_t>> idle;
    for (auto block = m_blocks.begin(); block != m_blocks.end();) {
        const Block& b = block->second;
        const bool current = b.size == m_spareSize && !m_released;
        if (b.out > 0 || (current && m_spare.size() <= keep)) {
            ++block;
            continue;
        }
        uint8_t* const first = block->first;
        const size_t bytes = b.stride * size_t(b.count);
        if (current)
            std::erase_if(m_spare, [&](uint8_t* data) { return data >= first && data < first + bytes; });
        idle.emplace_back(first, bytes);
        block = m_blocks.erase(block);
        --m_idleBlocks;
    }
    return idle;
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
    std::vector<std::pair<uint8_t*, size_t>> idle;
    bool last = false;
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_spare.clear();
        idle = takeIdleBlocks(0);
        last = m_blocks.empty();
    }
    giveBack(idle, true);
    if (last)
        delete this;
}

PictureBuffers::~PictureBuffers() = default;

int PictureBuffers::overruns()
{
    return s_overruns.load();
}

void PictureBuffers::giveBackKeptBlocks()
{
    idleBlocks().giveBackAll();
}

}  // namespace mci
