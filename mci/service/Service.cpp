#include "Service.h"

#include "AudioOutput.h"
#include "Device.h"
#include "ErrorTexts.h"

#include <QFileInfo>

namespace mci {

namespace {

constexpr MCIDEVICEID kLastDeviceId = 0xFFFF;  // the caller keeps the low 16 bits

template <typename Record>
Record* record(DWORD_PTR params) {
    return reinterpret_cast<Record*>(params);
}

bool completesAtOnce(UINT command) { return command != MCI_PLAY && command != MCI_RESUME; }

}  // namespace

Service::Service(ServiceParts parts) : m_parts(std::move(parts)) {
    if (!m_parts.clock) m_parts.clock = std::make_shared<SteadyClock>();
}

Service::~Service() {
    // One by one, so that a device's close never sees a half-dismantled table.
    while (!m_devices.empty()) m_devices.erase(m_devices.begin());
}

Device* Service::device(MCIDEVICEID id) const {
    const auto found = m_devices.find(id);
    return found == m_devices.end() ? nullptr : found->second.get();
}

MCIERROR Service::sendCommand(MCIDEVICEID id, UINT command, DWORD flags, DWORD_PTR params) {
    if (command == MCI_OPEN) {
        auto* parms = record<MCI_OPEN_PARMS>(params);
        const MCIERROR result = open(flags, parms);
        if (result == 0 && (flags & MCI_NOTIFY)) {
            PlaybackState::notify({true, QPointer<QWidget>(mciWindowOf(parms->dwCallback))},
                                  MCI_NOTIFY_SUCCESSFUL, parms->wDeviceID);
        }
        return result;
    }
    Device* target = device(id);
    if (target == nullptr) return MCIERR_INVALID_DEVICE_ID;
    if ((flags & MCI_NOTIFY) && params == 0) return MCIERR_NULL_PARAMETER_BLOCK;
    const DWORD_PTR callback = params ? record<MCI_GENERIC_PARMS>(params)->dwCallback : 0;
    const MCIERROR result = command == MCI_CLOSE ? close(id) : dispatch(*target, command, flags, params);
    if (result == 0 && (flags & MCI_NOTIFY) && completesAtOnce(command)) {
        PlaybackState::notify({true, QPointer<QWidget>(mciWindowOf(callback))},
                              MCI_NOTIFY_SUCCESSFUL, id);
    }
    return result;
}

MCIERROR Service::dispatch(Device& device, UINT command, DWORD flags, DWORD_PTR params) {
    switch (command) {
    case MCI_PLAY: return device.play(flags, record<MCI_PLAY_PARMS>(params));
    case MCI_PAUSE: return device.pause();
    case MCI_RESUME: return device.resume(flags, record<MCI_GENERIC_PARMS>(params));
    case MCI_STOP: return device.stop();
    case MCI_SEEK: return device.seek(flags, record<MCI_SEEK_PARMS>(params));
    case MCI_STEP: return device.step(flags, record<MCI_DGV_STEP_PARMS>(params));
    case MCI_STATUS: return device.status(flags, record<MCI_STATUS_PARMS>(params));
    case MCI_SET: return device.set(flags, record<MCI_SET_PARMS>(params));
    case MCI_GETDEVCAPS: return device.getDevCaps(flags, record<MCI_GETDEVCAPS_PARMS>(params));
    case MCI_WINDOW: return device.window(flags, record<MCI_DGV_WINDOW_PARMS>(params));
    case MCI_PUT: return device.put(flags, record<MCI_DGV_RECT_PARMS>(params));
    case MCI_WHERE: return device.where(flags, record<MCI_DGV_RECT_PARMS>(params));
    case MCI_UPDATE: return device.update();
    case MCI_TVL_FRAMEINFO: return device.frameInfo(flags, record<MCI_TVL_FRAMEINFO_PARMS>(params));
    case MCI_TVL_CAPTURE: return device.capture(record<MCI_TVL_CAPTURE_PARMS>(params));
    case MCI_RECORD: return MCIERR_UNSUPPORTED_FUNCTION;
    default: return MCIERR_UNRECOGNIZED_COMMAND;
    }
}

MCIERROR Service::open(DWORD flags, MCI_OPEN_PARMS* parms) {
    if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (!(flags & MCI_OPEN_ELEMENT)) {
        return (flags & MCI_OPEN_TYPE) ? MCIERR_FILENAME_REQUIRED : MCIERR_MISSING_PARAMETER;
    }
    const QString path = QString::fromUtf8(parms->lpstrElementName ? parms->lpstrElementName : "");
    if (path.isEmpty()) return MCIERR_FILENAME_REQUIRED;
    if (freeId() == 0) return MCIERR_DEVICE_OPEN;

    auto opened = openWithProgress(path, m_parts.openSource, m_parts.progressDelay);
    if (auto* failure = std::get_if<OpenFailure>(&opened)) return failure->code;
    // Chosen only now: other opens may have run inside the progress window's event loop.
    const MCIDEVICEID id = freeId();
    if (id == 0) return MCIERR_DEVICE_OPEN;

    Device::Parts parts;
    parts.source = std::get<std::unique_ptr<PlaybackSource>>(std::move(opened));
    if (parts.source->info().hasAudio && m_parts.openAudio) parts.audio = m_parts.openAudio();
    parts.clock = m_parts.clock.get();
    parts.title = QFileInfo(path).fileName();
    auto created = Device::create(id, std::move(parts));
    if (auto* error = std::get_if<MCIERROR>(&created)) return *error;
    m_devices.emplace(id, std::get<std::unique_ptr<Device>>(std::move(created)));
    m_lastId = id;
    parms->wDeviceID = id;
    return 0;
}

MCIERROR Service::close(MCIDEVICEID id) {
    // Out of the table first: anything the closing device triggers sees it gone.
    auto node = m_devices.extract(id);
    node.mapped().reset();
    return 0;
}

MCIDEVICEID Service::freeId() {
    for (MCIDEVICEID tries = 0; tries < kLastDeviceId; ++tries) {
        const MCIDEVICEID id = (m_lastId + tries) % kLastDeviceId + 1;
        if (m_devices.count(id) == 0) return id;
    }
    return 0;
}

bool Service::errorString(MCIERROR error, char* text, UINT length) {
    QString found = m_parts.sourceErrorText ? m_parts.sourceErrorText(error) : QString();
    if (found.isEmpty()) found = serviceErrorText(error);
    if (found.isEmpty()) {
        if (text != nullptr && length > 0) text[0] = '\0';
        return false;
    }
    return copyErrorText(found, text, length);
}

}  // namespace mci
