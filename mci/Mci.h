// The media command interface: the commands, flags, parameter records, codes and the two entry
// points through which the media device component drives a media service.
//
// Names and values are the ones the platform publishes for its media control interface, so that
// a command sequence reads the same here as in any description of that interface. The records
// use this platform's natural types (a window is a QWidget*, a callback is that pointer carried
// in a DWORD_PTR) instead of the original binary layout; nothing outside this process sees them.
//
// Threads: mciSendCommandA and mciGetErrorStringA are called on the UI thread only. Completion
// messages (MM_MCINOTIFY) arrive as MciNotifyEvent, posted to the callback window and delivered
// on the UI thread by Qt's event loop.
#pragma once

#include <QEvent>
#include <cstdint>

class QImage;
class QWidget;
class QPaintDevice;

using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using WORD = std::uint16_t;
using DWORD_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using MCIERROR = std::uint32_t;
using MCIDEVICEID = std::uint32_t;
using HWND = QWidget*;
using HDC = QPaintDevice*;

// ---- commands ------------------------------------------------------------------------------
inline constexpr UINT MCI_OPEN = 0x0803;
inline constexpr UINT MCI_CLOSE = 0x0804;
inline constexpr UINT MCI_PLAY = 0x0806;
inline constexpr UINT MCI_SEEK = 0x0807;
inline constexpr UINT MCI_STOP = 0x0808;
inline constexpr UINT MCI_PAUSE = 0x0809;
inline constexpr UINT MCI_GETDEVCAPS = 0x080B;
inline constexpr UINT MCI_SET = 0x080D;
inline constexpr UINT MCI_STEP = 0x080E;
inline constexpr UINT MCI_RECORD = 0x080F;
inline constexpr UINT MCI_STATUS = 0x0814;
inline constexpr UINT MCI_WINDOW = 0x0841;
inline constexpr UINT MCI_PUT = 0x0842;
inline constexpr UINT MCI_WHERE = 0x0843;
inline constexpr UINT MCI_UPDATE = 0x0854;
inline constexpr UINT MCI_RESUME = 0x0855;

// ---- flags common to all commands ----------------------------------------------------------
inline constexpr DWORD MCI_NOTIFY = 0x00000001;
inline constexpr DWORD MCI_WAIT = 0x00000002;
inline constexpr DWORD MCI_FROM = 0x00000004;
inline constexpr DWORD MCI_TO = 0x00000008;
inline constexpr DWORD MCI_TRACK = 0x00000010;

// MCI_OPEN
inline constexpr DWORD MCI_OPEN_SHAREABLE = 0x00000100;
inline constexpr DWORD MCI_OPEN_ELEMENT = 0x00000200;
inline constexpr DWORD MCI_OPEN_ALIAS = 0x00000400;
inline constexpr DWORD MCI_OPEN_TYPE = 0x00002000;

// MCI_SEEK
inline constexpr DWORD MCI_SEEK_TO_START = 0x00000100;
inline constexpr DWORD MCI_SEEK_TO_END = 0x00000200;

// MCI_STATUS
inline constexpr DWORD MCI_STATUS_ITEM = 0x00000100;
inline constexpr DWORD MCI_STATUS_START = 0x00000200;
inline constexpr DWORD MCI_STATUS_LENGTH = 1;
inline constexpr DWORD MCI_STATUS_POSITION = 2;
inline constexpr DWORD MCI_STATUS_NUMBER_OF_TRACKS = 3;
inline constexpr DWORD MCI_STATUS_MODE = 4;
inline constexpr DWORD MCI_STATUS_MEDIA_PRESENT = 5;
inline constexpr DWORD MCI_STATUS_TIME_FORMAT = 6;
inline constexpr DWORD MCI_STATUS_READY = 7;
inline constexpr DWORD MCI_STATUS_CURRENT_TRACK = 8;

// MCI_SET
inline constexpr DWORD MCI_SET_DOOR_OPEN = 0x00000100;
inline constexpr DWORD MCI_SET_DOOR_CLOSED = 0x00000200;
inline constexpr DWORD MCI_SET_TIME_FORMAT = 0x00000400;

// MCI_GETDEVCAPS
inline constexpr DWORD MCI_GETDEVCAPS_ITEM = 0x00000100;
inline constexpr DWORD MCI_GETDEVCAPS_CAN_RECORD = 1;
inline constexpr DWORD MCI_GETDEVCAPS_HAS_AUDIO = 2;
inline constexpr DWORD MCI_GETDEVCAPS_HAS_VIDEO = 3;
inline constexpr DWORD MCI_GETDEVCAPS_DEVICE_TYPE = 4;
inline constexpr DWORD MCI_GETDEVCAPS_USES_FILES = 5;
inline constexpr DWORD MCI_GETDEVCAPS_COMPOUND_DEVICE = 6;
inline constexpr DWORD MCI_GETDEVCAPS_CAN_EJECT = 7;
inline constexpr DWORD MCI_GETDEVCAPS_CAN_PLAY = 8;
inline constexpr DWORD MCI_GETDEVCAPS_CAN_SAVE = 9;

// Digital-video extensions: MCI_STEP, MCI_WINDOW, MCI_PUT, MCI_WHERE, MCI_UPDATE
inline constexpr DWORD MCI_DGV_STEP_REVERSE = 0x00010000;
inline constexpr DWORD MCI_DGV_STEP_FRAMES = 0x00020000;
inline constexpr DWORD MCI_DGV_WINDOW_HWND = 0x00010000;
inline constexpr DWORD MCI_DGV_WINDOW_STATE = 0x00040000;
inline constexpr HWND MCI_DGV_WINDOW_DEFAULT = nullptr;
inline constexpr DWORD MCI_DGV_RECT = 0x00010000;
inline constexpr DWORD MCI_DGV_PUT_SOURCE = 0x00020000;
inline constexpr DWORD MCI_DGV_PUT_DESTINATION = 0x00040000;
inline constexpr DWORD MCI_DGV_WHERE_SOURCE = 0x00020000;
inline constexpr DWORD MCI_DGV_WHERE_DESTINATION = 0x00040000;
inline constexpr DWORD MCI_DGV_UPDATE_HDC = 0x00020000;
inline constexpr DWORD MCI_DGV_UPDATE_PAINT = 0x00040000;

// ---- this service's own commands -----------------------------------------------------------
// The platform leaves the commands from MCI_USER_MESSAGES on to devices of their own. Both are
// answered at once (MCI_WAIT or not), from what the device already holds, and refused with
// MCIERR_UNSUPPORTED_FUNCTION by a device without video.
inline constexpr UINT MCI_USER_MESSAGES = 0x0C00;
// What the file's index knows of one frame, no decoding: picture type, keyframe, its time on
// the stream's own clock, its duration, and the stream's nominal and variable rate. Which frame:
// the position's (the frame shown), or dwFrame (MCI_TVL_FRAMEINFO_FRAME, always in frames), or
// the frame shown at llTimeUs on the stream's clock (MCI_TVL_FRAMEINFO_TIME). Outside the
// medium: MCIERR_OUTOFRANGE. Cheap enough to be asked every 30 ms.
inline constexpr UINT MCI_TVL_FRAMEINFO = MCI_USER_MESSAGES + 1;
inline constexpr DWORD MCI_TVL_FRAMEINFO_FRAME = 0x00010000;
inline constexpr DWORD MCI_TVL_FRAMEINFO_TIME = 0x00020000;
// The frame shown, at the picture's natural size and with exactly the pixels the screen gets at
// that size, into the caller's image (Format_RGB32), with its frame number.
inline constexpr UINT MCI_TVL_CAPTURE = MCI_USER_MESSAGES + 2;

inline constexpr DWORD MCI_MODE_NOT_READY = 524;
inline constexpr DWORD MCI_MODE_STOP = 525;
inline constexpr DWORD MCI_MODE_PLAY = 526;
inline constexpr DWORD MCI_MODE_RECORD = 527;
inline constexpr DWORD MCI_MODE_SEEK = 528;
inline constexpr DWORD MCI_MODE_PAUSE = 529;
inline constexpr DWORD MCI_MODE_OPEN = 530;

inline constexpr DWORD MCI_FORMAT_MILLISECONDS = 0;
inline constexpr DWORD MCI_FORMAT_HMS = 1;
inline constexpr DWORD MCI_FORMAT_MSF = 2;
inline constexpr DWORD MCI_FORMAT_FRAMES = 3;
inline constexpr DWORD MCI_FORMAT_SMPTE_24 = 4;
inline constexpr DWORD MCI_FORMAT_SMPTE_25 = 5;
inline constexpr DWORD MCI_FORMAT_SMPTE_30 = 6;
inline constexpr DWORD MCI_FORMAT_SMPTE_30DROP = 7;
inline constexpr DWORD MCI_FORMAT_BYTES = 8;
inline constexpr DWORD MCI_FORMAT_SAMPLES = 9;
inline constexpr DWORD MCI_FORMAT_TMSF = 10;

inline constexpr DWORD MCI_DEVTYPE_VCR = 513;
inline constexpr DWORD MCI_DEVTYPE_VIDEODISC = 514;
inline constexpr DWORD MCI_DEVTYPE_OVERLAY = 515;
inline constexpr DWORD MCI_DEVTYPE_CD_AUDIO = 516;
inline constexpr DWORD MCI_DEVTYPE_DAT = 517;
inline constexpr DWORD MCI_DEVTYPE_SCANNER = 518;
inline constexpr DWORD MCI_DEVTYPE_ANIMATION = 519;
inline constexpr DWORD MCI_DEVTYPE_DIGITAL_VIDEO = 520;
inline constexpr DWORD MCI_DEVTYPE_OTHER = 521;
inline constexpr DWORD MCI_DEVTYPE_WAVEFORM_AUDIO = 522;
inline constexpr DWORD MCI_DEVTYPE_SEQUENCER = 523;

inline constexpr WPARAM MCI_NOTIFY_SUCCESSFUL = 0x0001;
inline constexpr WPARAM MCI_NOTIFY_SUPERSEDED = 0x0002;
inline constexpr WPARAM MCI_NOTIFY_ABORTED = 0x0004;
inline constexpr WPARAM MCI_NOTIFY_FAILURE = 0x0008;

inline constexpr UINT MM_MCINOTIFY = 0x03B9;

// Track/minute/second/frame packing of MCI_FORMAT_TMSF positions.
inline constexpr std::uint8_t MCI_TMSF_TRACK(DWORD t) { return std::uint8_t(t & 0xFF); }
inline constexpr std::uint8_t MCI_TMSF_MINUTE(DWORD t) { return std::uint8_t((t >> 8) & 0xFF); }
inline constexpr std::uint8_t MCI_TMSF_SECOND(DWORD t) { return std::uint8_t((t >> 16) & 0xFF); }
inline constexpr std::uint8_t MCI_TMSF_FRAME(DWORD t) { return std::uint8_t((t >> 24) & 0xFF); }
inline constexpr DWORD MCI_MAKE_TMSF(std::uint8_t t, std::uint8_t m, std::uint8_t s, std::uint8_t f) {
    return DWORD(t) | (DWORD(m) << 8) | (DWORD(s) << 16) | (DWORD(f) << 24);
}

// ---- error codes ---------------------------------------------------------------------------
inline constexpr MCIERROR MMSYSERR_NOERROR = 0;
inline constexpr MCIERROR MCIERR_BASE = 256;
inline constexpr MCIERROR MCIERR_INVALID_DEVICE_ID = MCIERR_BASE + 1;
inline constexpr MCIERROR MCIERR_UNRECOGNIZED_COMMAND = MCIERR_BASE + 5;
inline constexpr MCIERROR MCIERR_HARDWARE = MCIERR_BASE + 6;
inline constexpr MCIERROR MCIERR_INVALID_DEVICE_NAME = MCIERR_BASE + 7;
inline constexpr MCIERROR MCIERR_OUT_OF_MEMORY = MCIERR_BASE + 8;
inline constexpr MCIERROR MCIERR_DEVICE_OPEN = MCIERR_BASE + 9;
inline constexpr MCIERROR MCIERR_CANNOT_LOAD_DRIVER = MCIERR_BASE + 10;
inline constexpr MCIERROR MCIERR_MISSING_PARAMETER = MCIERR_BASE + 17;
inline constexpr MCIERROR MCIERR_UNSUPPORTED_FUNCTION = MCIERR_BASE + 18;
inline constexpr MCIERROR MCIERR_FILE_NOT_FOUND = MCIERR_BASE + 19;
inline constexpr MCIERROR MCIERR_DEVICE_NOT_READY = MCIERR_BASE + 20;
inline constexpr MCIERROR MCIERR_INTERNAL = MCIERR_BASE + 21;
inline constexpr MCIERROR MCIERR_DRIVER = MCIERR_BASE + 22;
inline constexpr MCIERROR MCIERR_OUTOFRANGE = MCIERR_BASE + 26;
inline constexpr MCIERROR MCIERR_FLAGS_NOT_COMPATIBLE = MCIERR_BASE + 28;
inline constexpr MCIERROR MCIERR_DEVICE_TYPE_REQUIRED = MCIERR_BASE + 31;
inline constexpr MCIERROR MCIERR_BAD_TIME_FORMAT = MCIERR_BASE + 37;
inline constexpr MCIERROR MCIERR_INVALID_FILE = MCIERR_BASE + 40;
inline constexpr MCIERROR MCIERR_NULL_PARAMETER_BLOCK = MCIERR_BASE + 41;
inline constexpr MCIERROR MCIERR_NONAPPLICABLE_FUNCTION = MCIERR_BASE + 46;
inline constexpr MCIERROR MCIERR_FILENAME_REQUIRED = MCIERR_BASE + 48;
inline constexpr MCIERROR MCIERR_DEVICE_NOT_INSTALLED = MCIERR_BASE + 50;
inline constexpr MCIERROR MCIERR_NO_WINDOW = MCIERR_BASE + 90;
inline constexpr MCIERROR MCIERR_CREATEWINDOW = MCIERR_BASE + 91;
inline constexpr MCIERROR MCIERR_FILE_READ = MCIERR_BASE + 92;
inline constexpr MCIERROR MCIERR_FILE_WRITE = MCIERR_BASE + 93;
// Codes of this platform's own service start where the platform leaves room for drivers.
inline constexpr MCIERROR MCIERR_CUSTOM_DRIVER_BASE = MCIERR_BASE + 256;

// ---- parameter records ---------------------------------------------------------------------
struct RECT {
    LONG left = 0;
    LONG top = 0;
    LONG right = 0;   // width where the rectangle places or reports a picture
    LONG bottom = 0;  // height, likewise
};

struct MCI_GENERIC_PARMS {
    DWORD_PTR dwCallback = 0;
};

struct MCI_OPEN_PARMS {
    DWORD_PTR dwCallback = 0;
    MCIDEVICEID wDeviceID = 0;  // filled by the service
    const char* lpstrDeviceType = nullptr;
    const char* lpstrElementName = nullptr;  // UTF-8 path
    const char* lpstrAlias = nullptr;
};
using MCI_OPEN_PARMSA = MCI_OPEN_PARMS;

struct MCI_PLAY_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwFrom = 0;
    DWORD dwTo = 0;
};

struct MCI_RECORD_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwFrom = 0;
    DWORD dwTo = 0;
};

struct MCI_SEEK_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwTo = 0;
};

struct MCI_STATUS_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD_PTR dwReturn = 0;  // filled by the service
    DWORD dwItem = 0;
    DWORD dwTrack = 0;
};

struct MCI_SET_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwTimeFormat = 0;
    DWORD dwAudio = 0;
};

struct MCI_GETDEVCAPS_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwReturn = 0;  // filled by the service
    DWORD dwItem = 0;
};

struct MCI_DGV_STEP_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwFrames = 0;
};

struct MCI_DGV_WINDOW_PARMS {
    DWORD_PTR dwCallback = 0;
    HWND hWnd = nullptr;
    UINT nCmdShow = 0;
    const char* lpstrText = nullptr;
};
using MCI_DGV_WINDOW_PARMSA = MCI_DGV_WINDOW_PARMS;

struct MCI_DGV_RECT_PARMS {
    DWORD_PTR dwCallback = 0;
    RECT rc;
};

struct MCI_DGV_UPDATE_PARMS {
    DWORD_PTR dwCallback = 0;
    RECT rc;
    HDC hDC = nullptr;
};

struct MCI_TVL_FRAMEINFO_PARMS {
    DWORD_PTR dwCallback = 0;
    DWORD dwFrame = 0;            // in with MCI_TVL_FRAMEINFO_FRAME; out: the frame described
    std::int64_t llTimeUs = 0;    // in with MCI_TVL_FRAMEINFO_TIME: microseconds, stream clock
    char chPictureType = 0;       // out: 'I', 'P' or 'B'
    DWORD fKeyframe = 0;          // out
    std::int64_t llStartUs = 0;   // out: when the frame is shown, microseconds, stream clock
    std::int64_t llDurationUs = 0;  // out
    DWORD dwRateNum = 0;          // out: nominal frame rate dwRateNum / dwRateDen; 0/0 unknown
    DWORD dwRateDen = 0;
    DWORD fVariableRate = 0;      // out: the frames last differently
};

struct MCI_TVL_CAPTURE_PARMS {
    DWORD_PTR dwCallback = 0;
    QImage* lpImage = nullptr;  // filled; not owned
    DWORD dwFrame = 0;          // out: the frame captured
};

// A window handle travels in dwCallback as the pointer's value.
inline DWORD_PTR mciCallbackOf(HWND window) { return reinterpret_cast<DWORD_PTR>(window); }
inline HWND mciWindowOf(DWORD_PTR callback) { return reinterpret_cast<HWND>(callback); }

// ---- completion message --------------------------------------------------------------------
// MM_MCINOTIFY as a Qt event: wParam is the notification code, lParam the device identifier.
class MciNotifyEvent : public QEvent {
public:
    MciNotifyEvent(WPARAM code, MCIDEVICEID device);
    static QEvent::Type eventType();

    WPARAM wParam;       // MCI_NOTIFY_SUCCESSFUL, _SUPERSEDED, _ABORTED or _FAILURE
    MCIDEVICEID lParam;  // the device that sent it
};

// ---- entry points --------------------------------------------------------------------------
// The service behind the entry points. One is installed per process; the product installs the
// media service, tests install a scripted one.
class MciService {
public:
    virtual ~MciService() = default;
    virtual MCIERROR sendCommand(MCIDEVICEID device, UINT command, DWORD flags, DWORD_PTR params) = 0;
    // Writes the text for an error code (UTF-8, NUL-terminated, cut to length); false when the
    // service has no text for the code.
    virtual bool errorString(MCIERROR error, char* text, UINT length) = 0;
};

// Installs the service the entry points reach (not owned; nullptr restores the built-in one,
// which refuses every command with MCIERR_DEVICE_NOT_INSTALLED). Returns the previous one.
MciService* mciInstallService(MciService* service);
MciService* mciInstalledService();

MCIERROR mciSendCommandA(MCIDEVICEID device, UINT command, DWORD_PTR flags, DWORD_PTR params);
bool mciGetErrorStringA(MCIERROR error, char* text, UINT length);
