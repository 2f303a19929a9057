// Memory for the pictures a video decoder gives out.
//
// The decoder's own pool keeps every buffer it ever handed out until the file is closed: once
// the frame cache has held a gigabyte of pictures (holding Back on 4K video), the program would
// keep that gigabyte however much the cache gives back. Here pictures are mapped a block of
// several at a time, on large pages (LargePages.h), and a block goes back to the system once
// every picture in it has been let go, but for the pictures kept for the next ones (what a
// decoder lets go at a jump) and the blocks kept for the next decoder or written ahead for a span
// of pictures to be kept (a quarter of the picture budget, the whole process's). Fresh memory
// faulted in small page by small page costs more than decoding into it on a virtual machine
// (2 ms for a 720p picture), and a jump or the span behind a back step keeps a hundred pictures
// or more; on large pages it is a tenth of that, and written ahead on an idle core, nothing.
//
// Only for the plain planar formats of ordinary video; anything else (palettes, hardware
// frames) takes the decoder's default. Any thread: the decoder's threads ask for pictures, and
// a picture may be let go on any thread, also after its decoder is gone.
#pragma once

#include "FFmpegHandles.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace mci {

class PictureBuffers {
public:
    // Installs itself on a codec context before it is opened; the context must not outlive the
    // returned handle.
    static PictureBuffers* installOn(AVCodecContext* context);
    // The decoder is gone: pictures still out are unmapped when let go.
    void release();
    // Memory for the next `pictures` pictures of the size the decoder gives out now, written
    // ahead where a core is idle, for a span decoded to be kept (BlockWarmer). As much as the
    // kept blocks' bound holds.
    void prepare(int pictures);
    // Blocks the decoders of the whole process mapped on their own path, found none written
    // ahead or kept; and whether memory asked for ahead is still being written.
    static int blocksMappedOnTheWay();
    static bool preparing();
    // Pictures let go, in the whole process, whose guard bytes a decoder had overwritten.
    static int overruns();
    // Gives back to the system the blocks kept from closed files for the next decoder, as
    // malloc_trim gives back what the allocator keeps: for measures of a file's memory.
    static void giveBackKeptBlocks();

private:
    PictureBuffers() = default;
    ~PictureBuffers();
    static int getBuffer(AVCodecContext* context, AVFrame* frame, int flags);
    static void letGo(void* buffers, uint8_t* data);
    AVBufferRef* take(size_t size);
    uint8_t* takeSpare(size_t size);  // m_mutex held
    std::vector<std::pair<uint8_t*, size_t>> takeIdleBlocks(size_t keep);  // m_mutex held

    // Pictures of one size mapped together, each followed by its guard bytes.
    struct Block {
        size_t size = 0;    // of each picture
        size_t stride = 0;  // bytes from one picture to the next
        int count = 0;
        int out = 0;        // pictures of it handed out and not let go
    };

    std::mutex m_mutex;  // guards everything below
    std::map<uint8_t*, Block> m_blocks;  // by first byte
    std::vector<uint8_t*> m_spare;  // pictures of m_spareSize bytes, free to hand out
    size_t m_spareSize = 0;
    // Blocks none of whose pictures is out: only then can a picture let go free a block, so
    // that the blocks are looked through only then, not at every picture.
    size_t m_idleBlocks = 0;
    bool m_released = false;
};

}  // namespace mci
