#include "MediaService.h"

#include "AudioOutput.h"
#include "Service.h"
#include "SourceAdapter.h"
#include "SourceErrors.h"

namespace mci {

MediaServiceInstaller::MediaServiceInstaller() {
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
