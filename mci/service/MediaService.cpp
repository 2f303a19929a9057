#include "MediaService.h"

#include "AudioOutput.h"
#include "Service.h"
#include "SourceAdapter.h"
#include "SourceErrors.h"

extern "C" {
#include <libavutil/log.h>
}

#include <malloc.h>

namespace mci {

namespace {

// Opening a long file allocates lists of megabytes (the demuxer's sample tables, the packets,
// the frame index) and frees most of them at the end. By default the allocator takes blocks
// that large fresh from the system each time and gives them back on free, and every new page is
// a fault when first written (on a virtual machine, 15-25 us each: a two-hour MP4's open wrote
// about 9,000). Taken from the heap and kept there, up to a bound, an open reuses what the one
// before it freed, and blocks that grow are moved within pages already written. 32 MB is the
// largest threshold glibc adapts to by itself; what stays free on top of the heap beyond 64 MB
// goes back to the system.
void keepLargeBlocksOnTheHeap() {
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

}  // namespace

MediaServiceInstaller::MediaServiceInstaller() {
    keepLargeBlocksOnTheHeap();
    // The terminal gets what FFmpeg finds wrong with a file, not its notes on how the program
    // uses it (one for every H.264 video opened, on the decoders' picture memory).
    av_log_set_level(AV_LOG_ERROR);
    ServiceParts parts;
    parts.openSource = &openMediaFile;
    parts.sourceErrorText = &sourceErrorText;
    parts.openAudio = &openSystemAudioOutput;
    parts.clock = std::make_shared<SteadyClock>();
    m_service = std::make_unique<Service>(std::move(parts));
    m_previous = mciInstallService(m_service.get());
}

MediaServiceInstaller::~MediaServiceInstaller() {
    mciInstallService(m_previous);
    m_service.reset();
}

}  // namespace mci
