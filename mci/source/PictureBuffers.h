// Memory for the pictures a video decoder gives out.
//
// The decoder's own pool keeps every buffer it ever handed out until the file is closed: once
// the frame cache has held a gigabyte of pictures (holding Back on 4K video), the program would
// keep that gigabyte however much the cache gives back. Here a picture's memory goes back to
// the system when its last reference goes, but for those kept for the next pictures (what a
// decoder lets go at a jump): fresh memory costs the system's zeroing and, faulted in page by
// page, a third of a millisecond for a 720p picture and 3 ms for a 4K one. (Huge pages fault less, but stalled now and then for half
// a second while the system found them.)
//
// Only for the plain planar formats of ordinary video; anything else (palettes, hardware
// frames) takes the decoder's default. Any thread: the decoder's threads ask for pictures, and
// a picture may be let go on any thread, also after its decoder is gone.
#pragma once

#include "FFmpegHandles.h"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace mci {

class PictureBuffers {
public:
    // Installs itself on a codec context before it is opened; the context must not outlive the
    // returned handle.
    static PictureBuffers* installOn(AVCodecContext* context);
    // The decoder is gone: pictures still out are unmapped when let go.
    void release();

private:
    PictureBuffers() = default;
    ~PictureBuffers();
    static int getBuffer(AVCodecContext* context, AVFrame* frame, int flags);
    static void letGo(void* buffers, uint8_t* data);
    AVBufferRef* take(size_t size);

    std::mutex m_mutex;  // guards everything below
    std::vector<uint8_t*> m_spare;  // mappings of m_spareSize bytes, let go and kept
    size_t m_spareSize = 0;
    std::unordered_map<uint8_t*, size_t> m_out;  // mapping -> its size, for pictures out
    bool m_released = false;
};

}  // namespace mci
