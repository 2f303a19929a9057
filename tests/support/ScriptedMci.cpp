#include "ScriptedMci.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>

ScriptedMci::ScriptedMci() { m_previous = mciInstallService(this); }

ScriptedMci::~ScriptedMci() { mciInstallService(m_previous); }

int ScriptedMci::count(UINT command) const {
    int n = 0;
    for (const auto& call : calls) n += call.command == command;
    return n;
}

std::vector<MciCall> ScriptedMci::callsOf(UINT command) const {
    std::vector<MciCall> out;
    for (const auto& call : calls)
        if (call.command == command) out.push_back(call);
    return out;
}

const MciCall* ScriptedMci::last(UINT command) const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->command == command) return &*it;
    return nullptr;
}

void ScriptedMci::postNotify(WPARAM code, QObject* window) {
    QObject* target = window ? window : m_notifyWindow.data();
    if (target) QCoreApplication::postEvent(target, new MciNotifyEvent(code, device.id));
}

bool ScriptedMci::errorString(MCIERROR error, char* text, UINT length) {
    auto it = errorTexts.find(error);
    if (it == errorTexts.end() || text == nullptr || length == 0) return false;
    std::strncpy(text, it->second.c_str(), length - 1);
    text[length - 1] = '\0';
    return true;
}

MCIERROR ScriptedMci::sendCommand(MCIDEVICEID deviceId, UINT command, DWORD flags,
                                  DWORD_PTR params) {
    MciCall call;
    call.device = deviceId;
    call.command = command;
    call.flags = flags;
    if (params != 0) call.callback = *reinterpret_cast<const DWORD_PTR*>(params);
    switch (command) {
        case MCI_OPEN: {
            auto* p = reinterpret_cast<MCI_OPEN_PARMS*>(params);
            if (p->lpstrDeviceType) call.deviceType = p->lpstrDeviceType;
            if (p->lpstrElementName) call.element = p->lpstrElementName;
            break;
        }
        case MCI_PLAY:
        case MCI_RECORD: {
            auto* p = reinterpret_cast<MCI_PLAY_PARMS*>(params);
            call.from = p->dwFrom;
            call.to = p->dwTo;
            break;
        }
        case MCI_SEEK: {
            if (params) call.to = reinterpret_cast<MCI_SEEK_PARMS*>(params)->dwTo;
            break;
        }
        case MCI_STATUS: {
            auto* p = reinterpret_cast<MCI_STATUS_PARMS*>(params);
            call.item = p->dwItem;
            call.track = p->dwTrack;
            break;
        }
        case MCI_GETDEVCAPS: call.item = reinterpret_cast<MCI_GETDEVCAPS_PARMS*>(params)->dwItem; break;
        case MCI_SET: call.timeFormat = reinterpret_cast<MCI_SET_PARMS*>(params)->dwTimeFormat; break;
        case MCI_STEP: call.frames = reinterpret_cast<MCI_DGV_STEP_PARMS*>(params)->dwFrames; break;
        case MCI_WINDOW: call.window = reinterpret_cast<MCI_DGV_WINDOW_PARMS*>(params)->hWnd; break;
        case MCI_PUT: call.rect = reinterpret_cast<MCI_DGV_RECT_PARMS*>(params)->rc; break;
        case MCI_UPDATE: {
            auto* p = reinterpret_cast<MCI_DGV_UPDATE_PARMS*>(params);
            call.rect = p->rc;
            call.hdc = p->hDC;
            break;
        }
        case MCI_TVL_FRAMEINFO: {
            auto* p = reinterpret_cast<MCI_TVL_FRAMEINFO_PARMS*>(params);
            call.frames = p->dwFrame;
            call.timeUs = p->llTimeUs;
            break;
        }
        default: break;
    }
    calls.push_back(call);
    if ((flags & MCI_NOTIFY) && call.callback)
        m_notifyWindow = reinterpret_cast<QObject*>(mciWindowOf(call.callback));
    if (script) {
        if (auto answered = script(call, params)) return *answered;
    }
    if (auto it = refuse.find(command); it != refuse.end()) return it->second;
    return answer(call, params);
}

MCIERROR ScriptedMci::answer(const MciCall& call, DWORD_PTR params) {
    if (call.command == MCI_OPEN) {
        reinterpret_cast<MCI_OPEN_PARMS*>(params)->wDeviceID = device.id;
        open = true;
        device.position = device.start;
        return 0;
    }
    if (!open || call.device != device.id) return MCIERR_INVALID_DEVICE_ID;
    auto afterSeek = [this] { device.mode = device.mode == MCI_MODE_PAUSE ? MCI_MODE_PAUSE : MCI_MODE_STOP; };
    switch (call.command) {
        case MCI_CLOSE: open = false; return 0;
        case MCI_PLAY:
            if (call.has(MCI_FROM)) device.position = LONG(call.from);
            device.mode = MCI_MODE_PLAY;
            return 0;
        case MCI_RECORD: return MCIERR_UNSUPPORTED_FUNCTION;
        case MCI_STOP: device.mode = MCI_MODE_STOP; return 0;
        case MCI_PAUSE: device.mode = MCI_MODE_PAUSE; return 0;
        case MCI_RESUME:
            if (device.mode != MCI_MODE_PAUSE) return MCIERR_NONAPPLICABLE_FUNCTION;
            device.mode = MCI_MODE_PLAY;
            return 0;
        case MCI_SEEK: {
            LONG to = call.has(MCI_SEEK_TO_START) ? device.start
                      : call.has(MCI_SEEK_TO_END) ? device.length
                                                  : LONG(call.to);
            if (to < device.start || to > device.length) return MCIERR_OUTOFRANGE;
            device.position = to;
            afterSeek();
            return 0;
        }
        case MCI_STEP: {
            LONG n = LONG(call.frames);
            LONG to = call.has(MCI_DGV_STEP_REVERSE) ? device.position - n : device.position + n;
            if (to < device.start || to > device.length) return MCIERR_OUTOFRANGE;
            device.position = to;
            afterSeek();
            return 0;
        }
        case MCI_STATUS: {
            auto* p = reinterpret_cast<MCI_STATUS_PARMS*>(params);
            switch (call.item) {
                case MCI_STATUS_LENGTH: p->dwReturn = DWORD(device.length); return 0;
                case MCI_STATUS_POSITION:
                    if (call.has(MCI_TRACK)) {
                        auto it = device.trackStarts.find(call.track);
                        if (it == device.trackStarts.end()) return MCIERR_OUTOFRANGE;
                        p->dwReturn = DWORD(it->second);
                    } else {
                        p->dwReturn = DWORD(call.has(MCI_STATUS_START) ? device.start : device.position);
                    }
                    return 0;
                case MCI_STATUS_NUMBER_OF_TRACKS: p->dwReturn = device.tracks; return 0;
                case MCI_STATUS_MODE: p->dwReturn = device.mode; return 0;
                case MCI_STATUS_TIME_FORMAT: p->dwReturn = device.timeFormat; return 0;
                default: return MCIERR_UNSUPPORTED_FUNCTION;
            }
        }
        case MCI_SET:
            if (call.has(MCI_SET_TIME_FORMAT)) {
                device.timeFormat = call.timeFormat;
                return 0;
            }
            if (call.has(MCI_SET_DOOR_OPEN)) return device.canEject ? 0 : MCIERR_UNSUPPORTED_FUNCTION;
            return MCIERR_MISSING_PARAMETER;
        case MCI_GETDEVCAPS: {
            auto* p = reinterpret_cast<MCI_GETDEVCAPS_PARMS*>(params);
            switch (call.item) {
                case MCI_GETDEVCAPS_CAN_PLAY: p->dwReturn = device.canPlay; return 0;
                case MCI_GETDEVCAPS_CAN_RECORD: p->dwReturn = device.canRecord; return 0;
                case MCI_GETDEVCAPS_CAN_EJECT: p->dwReturn = device.canEject; return 0;
                case MCI_GETDEVCAPS_HAS_VIDEO: p->dwReturn = device.hasVideo; return 0;
                case MCI_GETDEVCAPS_DEVICE_TYPE: p->dwReturn = device.deviceType; return 0;
                default: return MCIERR_UNSUPPORTED_FUNCTION;
            }
        }
        case MCI_WINDOW: return device.hasVideo ? 0 : MCIERR_UNSUPPORTED_FUNCTION;
        case MCI_PUT:
            if (!device.hasVideo) return MCIERR_UNSUPPORTED_FUNCTION;
            device.destination = call.rect;
            return 0;
        case MCI_WHERE: {
            if (!device.hasVideo) return MCIERR_UNSUPPORTED_FUNCTION;
            auto* p = reinterpret_cast<MCI_DGV_RECT_PARMS*>(params);
            p->rc = call.has(MCI_DGV_WHERE_SOURCE) ? device.source : device.destination;
            return 0;
        }
        case MCI_UPDATE: return 0;
        case MCI_TVL_FRAMEINFO: return frameInfo(call, reinterpret_cast<MCI_TVL_FRAMEINFO_PARMS*>(params));
        case MCI_TVL_CAPTURE: {
            if (!device.hasVideo || device.picture.isNull()) return MCIERR_UNSUPPORTED_FUNCTION;
            auto* p = reinterpret_cast<MCI_TVL_CAPTURE_PARMS*>(params);
            *p->lpImage = device.picture;
            p->dwFrame = DWORD(std::min(device.position, device.length - 1));
            return 0;
        }
        default: return MCIERR_UNRECOGNIZED_COMMAND;
    }
}

MCIERROR ScriptedMci::frameInfo(const MciCall& call, MCI_TVL_FRAMEINFO_PARMS* p) {
    if (!device.hasVideo) return MCIERR_UNSUPPORTED_FUNCTION;
    std::int64_t frame = std::min(device.position, device.length - 1);
    if (call.has(MCI_TVL_FRAMEINFO_FRAME)) frame = call.frames;
    if (call.has(MCI_TVL_FRAMEINFO_TIME)) {
        const std::int64_t since = call.timeUs - device.firstPtsUs;
        frame = since < 0 ? -1 : since / device.usPerFrame;
    }
    if (frame < 0 || frame >= device.length) return MCIERR_OUTOFRANGE;
    p->dwFrame = DWORD(frame);
    p->fKeyframe = frame % device.keyInterval == 0;
    p->chPictureType = p->fKeyframe ? 'I' : 'P';
    p->llStartUs = device.firstPtsUs + frame * device.usPerFrame;
    p->llDurationUs = device.usPerFrame;
    p->dwRateNum = device.rateNum;
    p->dwRateDen = device.rateDen;
    p->fVariableRate = device.variableRate;
    return 0;
}

const char* mciCommandName(UINT command) {
    switch (command) {
        case MCI_OPEN: return "MCI_OPEN";
        case MCI_CLOSE: return "MCI_CLOSE";
        case MCI_PLAY: return "MCI_PLAY";
        case MCI_SEEK: return "MCI_SEEK";
        case MCI_STOP: return "MCI_STOP";
        case MCI_PAUSE: return "MCI_PAUSE";
        case MCI_GETDEVCAPS: return "MCI_GETDEVCAPS";
        case MCI_SET: return "MCI_SET";
        case MCI_STEP: return "MCI_STEP";
        case MCI_RECORD: return "MCI_RECORD";
        case MCI_STATUS: return "MCI_STATUS";
        case MCI_WINDOW: return "MCI_WINDOW";
        case MCI_PUT: return "MCI_PUT";
        case MCI_WHERE: return "MCI_WHERE";
        case MCI_UPDATE: return "MCI_UPDATE";
        case MCI_RESUME: return "MCI_RESUME";
        case MCI_TVL_FRAMEINFO: return "MCI_TVL_FRAMEINFO";
        case MCI_TVL_CAPTURE: return "MCI_TVL_CAPTURE";
        default: return "MCI_?";
    }
}
