#include "MediaService.h"

#include "AudioOutput.h"
#include "Service.h"
#include "SourceAdapter.h"
#include "SourceErrors.h"

extern "C" {
#include <libavutil/log.h>
}

namespace mci {

MediaServiceInstaller::MediaServiceInstaller() {
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
