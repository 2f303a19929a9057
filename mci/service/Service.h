// The media service on FFmpeg: the MciService that mciSendCommandA reaches in the product.
// It keeps the open devices (several at once, identifiers 1..65535, never 0, not reused while
// open), opens files with a progress window for long opens, routes each command to its
// device's handler (Device.h documents them) and answers mciGetErrorStringA with Japanese texts.
//
// MCI_OPEN needs MCI_OPEN_ELEMENT with a file; the device type, if given, is ignored (the
// file decides), and a type alone is refused with MCIERR_FILENAME_REQUIRED. MCI_CLOSE aborts
// an owed play notification. A command sent with MCI_NOTIFY that completes at once (all but
// play and resume) posts MCI_NOTIFY_SUCCESSFUL to its callback window when it succeeds.
//
// Threads: UI thread only. During a long open the UI thread runs a local event loop, so other
// commands may arrive meanwhile; the new device joins the table only when its open is done.
#pragma once

#include "Clock.h"
#include "ProgressWindow.h"

#include <map>

namespace mci {

class AudioOutput;
class Device;

// What the service is built from; the product's parts are in MediaService.cpp, tests give
// fakes.
struct ServiceParts {
    SourceOpener openSource;
    std::function<QString(MCIERROR)> sourceErrorText;      // texts of the opener's codes
    std::function<std::unique_ptr<AudioOutput>()> openAudio;  // per device with sound
    std::shared_ptr<const Clock> clock;
    std::chrono::milliseconds progressDelay{300};
};

class Service final : public MciService {
public:
    explicit Service(ServiceParts parts);
    ~Service() override;  // closes every device

    MCIERROR sendCommand(MCIDEVICEID device, UINT command, DWORD flags, DWORD_PTR params) override;
    bool errorString(MCIERROR error, char* text, UINT length) override;

    // For tests: the open device with this identifier, or null.
    Device* device(MCIDEVICEID id) const;

private:
    MCIERROR open(DWORD flags, MCI_OPEN_PARMS* parms);
    MCIERROR close(MCIDEVICEID id);
    MCIERROR dispatch(Device& device, UINT command, DWORD flags, DWORD_PTR params);
    MCIDEVICEID freeId();

    ServiceParts m_parts;
    std::map<MCIDEVICEID, std::unique_ptr<Device>> m_devices;
    MCIDEVICEID m_lastId = 0;
};

}  // namespace mci
