// A scripted media service for tests: it records every command with its device, flags and the
// record fields that were filled, and answers from a small device model that a test can set up,
// refuse commands of, or replace per call through `script`.
//
// Construction installs it as the process's service; destruction restores the previous one.
#pragma once

#include "Mci.h"

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct MciCall {
    MCIDEVICEID device = 0;
    UINT command = 0;
    DWORD flags = 0;
    DWORD_PTR callback = 0;
    // Fields of the record, copied when the command was sent (0 or empty where not used).
    std::optional<std::string> deviceType;  // MCI_OPEN: lpstrDeviceType when not null
    std::optional<std::string> element;     // MCI_OPEN: lpstrElementName when not null
    DWORD from = 0, to = 0, item = 0, track = 0, frames = 0, timeFormat = 0;
    HWND window = nullptr;  // MCI_WINDOW
    RECT rect;              // MCI_PUT, MCI_UPDATE
    HDC hdc = nullptr;      // MCI_UPDATE
    std::int64_t timeUs = 0;  // MCI_TVL_FRAMEINFO: llTimeUs (dwFrame goes to frames)

    bool has(DWORD flag) const { return (flags & flag) == flag; }
};

class ScriptedMci : public MciService {
public:
    struct Device {
        MCIDEVICEID id = 1;
        LONG length = 100;
        LONG position = 0;
        LONG start = 0;
        DWORD mode = MCI_MODE_STOP;
        DWORD timeFormat = MCI_FORMAT_FRAMES;
        DWORD deviceType = MCI_DEVTYPE_DIGITAL_VIDEO;
        bool hasVideo = true;
        bool canPlay = true;
        bool canRecord = false;
        bool canEject = false;
        RECT source{0, 0, 320, 240};
        RECT destination{0, 0, 320, 240};
        DWORD tracks = 1;
        std::map<DWORD, LONG> trackStarts;  // MCI_STATUS_POSITION with MCI_TRACK
        // MCI_TVL_FRAMEINFO: frames of usPerFrame each from firstPtsUs on the stream's clock,
        // a keyframe (I) every keyInterval frames and P in between.
        std::int64_t usPerFrame = 40000;
        std::int64_t firstPtsUs = 0;
        LONG keyInterval = 12;
        DWORD rateNum = 25, rateDen = 1;
        bool variableRate = false;
        // MCI_TVL_CAPTURE: the picture of every frame (the frame is the position's).
        QImage picture;
    };

    ScriptedMci();
    ~ScriptedMci() override;

    MCIERROR sendCommand(MCIDEVICEID device, UINT command, DWORD flags, DWORD_PTR params) override;
    bool errorString(MCIERROR error, char* text, UINT length) override;

    // Set-up
    Device device;
    bool open = false;
    std::map<UINT, MCIERROR> refuse;                   // command -> code it is refused with
    std::map<MCIERROR, std::string> errorTexts;        // texts mciGetErrorStringA gives
    // Called after a command is recorded, before the model answers; a value is the answer and
    // the model is skipped. Params is the record pointer as sent.
    std::function<std::optional<MCIERROR>(const MciCall&, DWORD_PTR params)> script;

    // What was sent
    std::vector<MciCall> calls;
    void clear() { calls.clear(); }
    int count(UINT command) const;
    std::vector<MciCall> callsOf(UINT command) const;
    const MciCall* last(UINT command) const;

    // Posts MM_MCINOTIFY with the code to the callback window of the last MCI_NOTIFY command
    // (or to the given window).
    void postNotify(WPARAM code, QObject* window = nullptr);

private:
    MCIERROR answer(const MciCall& call, DWORD_PTR params);
    MCIERROR frameInfo(const MciCall& call, MCI_TVL_FRAMEINFO_PARMS* parms);
    MciService* m_previous = nullptr;
    QPointer<QObject> m_notifyWindow;
};

// Readable names for failure messages.
const char* mciCommandName(UINT command);
