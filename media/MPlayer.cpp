// The device half of TMediaPlayer: opening, the playback operations, status reads, the display
// and the completion messages. The transport bar lives in MPlayerBar.cpp.
#include "MPlayer.h"

#include "Application.h"
#include "Exception.h"

#include <QFile>

namespace {

const char* const NoDeviceMessage = "MCI デバイスがありません";
const char* const UnknownErrorMessage = "原因不明のエラー";
constexpr unsigned ErrorTextSize = 4096;

const char* DeviceTypeString(TMPDeviceTypes type) {
    static const char* const names[] = {
        nullptr,     "AVIVideo", "CDAudio",   "DAT", "DigitalVideo", "MMMovie",  "Other",
        "Overlay", "Scanner",  "Sequencer", "VCR", "Videodisc",    "WaveAudio",
    };
    return type <= dtWaveAudio ? names[type] : nullptr;
}

}  // namespace

TMediaPlayer::~TMediaPlayer() {
    QObject::disconnect(m_displayWatch);
    if (m_deviceId != 0) {
        MCI_GENERIC_PARMS parms;
        mciSendCommandA(m_deviceId, MCI_CLOSE, MCI_WAIT, DWORD_PTR(&parms));
    }
}

void TMediaPlayer::Loaded() {
    if (m_autoOpen) Open();
}

void TMediaPlayer::CheckOpen() const {
    if (!m_open) throw EMCIDeviceError(NoDeviceMessage);
}

void TMediaPlayer::RaiseOpenError() { throw EMCIDeviceError(LastErrorText().toStdString()); }

QString TMediaPlayer::LastErrorText() const {
    char text[ErrorTextSize] = {};
    const bool known = mciGetErrorStringA(m_lastError, text, ErrorTextSize);
    text[ErrorTextSize - 1] = '\0';  // whatever the service wrote, the text ends in the buffer
    if (!known || text[0] == '\0')
        return QString::fromUtf8(UnknownErrorMessage);
    return QString::fromUtf8(text);
}

// ---- opening and closing -----------------------------------------------------------------------

void TMediaPlayer::Open() {
    if (m_open) Close();
    const QByteArray element = QFile::encodeName(m_fileName);
    MCI_OPEN_PARMS parms;
    parms.lpstrDeviceType = DeviceTypeString(m_deviceType);
    parms.lpstrElementName = element.constData();
    parms.dwCallback = Callback();
    DWORD flags = MCI_WAIT;
    if (m_deviceType == dtAutoSelect) {
        flags |= MCI_OPEN_ELEMENT;
    } else {
        flags |= MCI_OPEN_TYPE;
        if (!m_fileName.isEmpty()) flags |= MCI_OPEN_ELEMENT;
    }
    if (m_shareable) flags |= MCI_OPEN_SHAREABLE;
    if (RecordResult(mciSendCommandA(0, MCI_OPEN, flags, DWORD_PTR(&parms))) != 0) RaiseOpenError();

    m_open = true;
    m_deviceId = std::uint16_t(parms.wDeviceID);
    m_stepFrames = Length() / 10;
    ReadCapabilities();
    ReadNaturalSize();
    if (m_hasVideo) {
        SetDisplay(m_display);
        TRect where;
        GetPictureRect(where);
        m_naturalWidth = where.Right - where.Left;
        m_naturalHeight = where.Bottom - where.Top;
    }
    if (m_deviceType == dtCDAudio || m_deviceType == dtVideodisc) SetTimeFormat(MCI_FORMAT_TMSF);
    SetAutoButtonsAfterOpen();
}

bool TMediaPlayer::DevCap(DWORD item, DWORD* value) {
    MCI_GETDEVCAPS_PARMS parms;
    parms.dwItem = item;
    mciSendCommandA(m_deviceId, MCI_GETDEVCAPS, MCI_WAIT | MCI_GETDEVCAPS_ITEM, DWORD_PTR(&parms));
    if (value) *value = parms.dwReturn;
    return (parms.dwReturn & 0xFF) != 0;
}

// Every capability describes the device just opened: nothing is carried over from the last one.
void TMediaPlayer::ReadCapabilities() {
    m_caps = TMPDevCapsSet();
    m_canPlay = DevCap(MCI_GETDEVCAPS_CAN_PLAY);
    m_canRecord = DevCap(MCI_GETDEVCAPS_CAN_RECORD);
    m_canEject = DevCap(MCI_GETDEVCAPS_CAN_EJECT);
    m_hasVideo = DevCap(MCI_GETDEVCAPS_HAS_VIDEO);
    DWORD type = 0;
    DevCap(MCI_GETDEVCAPS_DEVICE_TYPE, &type);
    m_canStep = type == MCI_DEVTYPE_VCR || type == MCI_DEVTYPE_OVERLAY ||
                type == MCI_DEVTYPE_ANIMATION || type == MCI_DEVTYPE_DIGITAL_VIDEO;
    if (m_canStep) m_caps.Include(capStep);
    if (m_canEject) m_caps.Include(capEject);
    if (m_canPlay) m_caps.Include(capPlay);
    if (m_canRecord) m_caps.Include(capRecord);
    if (m_hasVideo) m_caps.Include(capVideo);
}

void TMediaPlayer::ReadNaturalSize() {
    MCI_DGV_RECT_PARMS parms;
    RecordResult(mciSendCommandA(m_deviceId, MCI_WHERE, MCI_DGV_WHERE_SOURCE, DWORD_PTR(&parms)));
    m_naturalWidth = parms.rc.right - parms.rc.left;
    m_naturalHeight = parms.rc.bottom - parms.rc.top;
}

void TMediaPlayer::SetAutoButtonsAfterOpen() {
    m_autoButtons = {btNext, btPrev};
    if (m_canStep) m_autoButtons = m_autoButtons + TButtonSet{btStep, btBack};
    if (m_canPlay) m_autoButtons.Include(btPlay);
    if (m_canRecord) m_autoButtons.Include(btRecord);
    if (m_canEject) m_autoButtons.Include(btEject);
    if (Mode() == dmPlaying) AdjustAutoButtons(btPlay);
    RefreshAutoFlags();
}

void TMediaPlayer::Close() {
    if (m_deviceId == 0) return;
    MCI_GENERIC_PARMS parms;
    parms.dwCallback = Callback();
    if (RecordResult(mciSendCommandA(m_deviceId, MCI_CLOSE, MCI_WAIT, DWORD_PTR(&parms))) != 0) return;
    m_open = false;
    m_deviceId = 0;
    m_autoButtons = {};
    RefreshAutoFlags();
}

// ---- playback ----------------------------------------------------------------------------------

void TMediaPlayer::Play() {
    CheckOpen();
    if (m_autoRewind && !m_pending && Position() == Length()) SeekToStart();
    MCI_PLAY_PARMS parms;
    parms.dwCallback = Callback();
    parms.dwFrom = DWORD(m_pendingFrom);
    DWORD flags = MCI_NOTIFY;
    if (m_pending) flags |= MCI_FROM;
    m_pending = false;
    RecordResult(mciSendCommandA(m_deviceId, MCI_PLAY, flags, DWORD_PTR(&parms)));
}

void TMediaPlayer::Record() {
    CheckOpen();
    MCI_RECORD_PARMS parms;
    parms.dwCallback = Callback();
    RecordResult(mciSendCommandA(m_deviceId, MCI_RECORD, MCI_NOTIFY, DWORD_PTR(&parms)));
}

void TMediaPlayer::Stop() {
    CheckOpen();
    MCI_GENERIC_PARMS parms;
    parms.dwCallback = Callback();
    RecordResult(mciSendCommandA(m_deviceId, MCI_STOP, MCI_WAIT, DWORD_PTR(&parms)));
}

void TMediaPlayer::Pause() {
    CheckOpen();
    MCI_GENERIC_PARMS parms;
    parms.dwCallback = Callback();
    RecordResult(mciSendCommandA(m_deviceId, MCI_PAUSE, MCI_WAIT, DWORD_PTR(&parms)));
}

void TMediaPlayer::Resume() {
    CheckOpen();
    MCI_GENERIC_PARMS parms;
    parms.dwCallback = Callback();
    if (RecordResult(mciSendCommandA(m_deviceId, MCI_RESUME, MCI_NOTIFY, DWORD_PTR(&parms))) != 0) Play();
}

void TMediaPlayer::TogglePause() {
    CheckOpen();
    if (Mode() == dmPlaying)
        Pause();
    else if (Mode() == dmPaused)
        Resume();
}

void TMediaPlayer::SeekToStart() {
    CheckOpen();
    MCI_SEEK_PARMS parms;  // nothing filled: the flag says where to
    mciSendCommandA(m_deviceId, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START, DWORD_PTR(&parms));
}

void TMediaPlayer::SetPosition(std::int32_t value) {
    CheckOpen();
    MCI_SEEK_PARMS parms;
    parms.dwCallback = Callback();
    parms.dwTo = DWORD(value);
    RecordResult(mciSendCommandA(m_deviceId, MCI_SEEK, MCI_WAIT | MCI_TO, DWORD_PTR(&parms)));
}

// Seeks with one of MCI_TO (to target), MCI_SEEK_TO_START or MCI_SEEK_TO_END.
void TMediaPlayer::SeekWith(DWORD how, std::int32_t target) {
    MCI_SEEK_PARMS parms;
    parms.dwCallback = Callback();
    if (how == MCI_TO) parms.dwTo = DWORD(target);
    RecordResult(mciSendCommandA(m_deviceId, MCI_SEEK, MCI_WAIT | how, DWORD_PTR(&parms)));
}

// While playing, a track change restarts playback at the target and the bar treats the click as
// one on Play; otherwise it is a plain seek.
void TMediaPlayer::GoToTrackTarget(std::int32_t target) {
    if (Mode() == dmPlaying) {
        m_pendingFrom = target;
        m_pending = true;
        Play();
        m_activeButton = btPlay;
    } else {
        SeekWith(MCI_TO, target);
    }
}

void TMediaPlayer::Next() {
    CheckOpen();
    if (TimeFormat() != MCI_FORMAT_TMSF) {
        SeekWith(MCI_SEEK_TO_END, 0);
        return;
    }
    const int track = MCI_TMSF_TRACK(DWORD(Position()));
    const std::int32_t target = track == TrackCount() ? TrackStart(TrackCount()) : TrackStart(track + 1);
    GoToTrackTarget(target);
}

void TMediaPlayer::Previous() {
    CheckOpen();
    if (TimeFormat() != MCI_FORMAT_TMSF) {
        SeekWith(MCI_SEEK_TO_START, 0);
        return;
    }
    const DWORD p = DWORD(Position());
    const DWORD s = DWORD(TrackStart(MCI_TMSF_TRACK(DWORD(Position()))));
    std::int32_t target = std::int32_t(s);
    if (MCI_TMSF_TRACK(p) != 1 && MCI_TMSF_MINUTE(p) == MCI_TMSF_MINUTE(s) &&
        MCI_TMSF_SECOND(p) == MCI_TMSF_SECOND(s))
        target = TrackStart(MCI_TMSF_TRACK(DWORD(Position())) - 1);
    GoToTrackTarget(target);
}

void TMediaPlayer::SendStep(DWORD direction) {
    MCI_DGV_STEP_PARMS parms;
    parms.dwCallback = Callback();
    parms.dwFrames = DWORD(m_stepFrames);
    RecordResult(mciSendCommandA(m_deviceId, MCI_STEP, MCI_WAIT | MCI_DGV_STEP_FRAMES | direction,
                                 DWORD_PTR(&parms)));
}

void TMediaPlayer::Step() {
    CheckOpen();
    if (!m_hasVideo) return;
    if (m_autoRewind && Position() == Length()) SeekToStart();
    SendStep(0);
}

void TMediaPlayer::Back() {
    CheckOpen();
    if (!m_hasVideo) return;
    SendStep(MCI_DGV_STEP_REVERSE);
}

void TMediaPlayer::Eject() {
    CheckOpen();
    if (!m_canEject) return;
    MCI_SET_PARMS parms;
    parms.dwCallback = Callback();
    RecordResult(mciSendCommandA(m_deviceId, MCI_SET, MCI_WAIT | MCI_SET_DOOR_OPEN, DWORD_PTR(&parms)));
}

// ---- status ------------------------------------------------------------------------------------

DWORD TMediaPlayer::StatusItem(DWORD item, DWORD extraFlags, DWORD track, bool record) {
    MCI_STATUS_PARMS parms;
    parms.dwItem = item;
    parms.dwTrack = track;
    const MCIERROR result =
        mciSendCommandA(m_deviceId, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM | extraFlags, DWORD_PTR(&parms));
    if (record) RecordResult(result);
    return DWORD(parms.dwReturn);
}

std::int32_t TMediaPlayer::Position() { return std::int32_t(StatusItem(MCI_STATUS_POSITION)); }

std::int32_t TMediaPlayer::Length() {
    CheckOpen();
    return std::int32_t(StatusItem(MCI_STATUS_LENGTH));
}

std::int32_t TMediaPlayer::Start() {
    CheckOpen();
    return std::int32_t(StatusItem(MCI_STATUS_POSITION, MCI_STATUS_START));
}

TMPModes TMediaPlayer::Mode() {
    return TMPModes(std::uint8_t((StatusItem(MCI_STATUS_MODE) & 0xFF) - 12));
}

TMPTimeFormats TMediaPlayer::TimeFormat() {
    CheckOpen();
    return TMPTimeFormats(StatusItem(MCI_STATUS_TIME_FORMAT) & 0xFF);
}

// Sent with MCI_WAIT and without a completion request: the positions read right after it must
// already be in the new format, and no window would receive the message.
void TMediaPlayer::SetTimeFormat(TMPTimeFormats value) {
    MCI_SET_PARMS parms;
    parms.dwTimeFormat = value;
    RecordResult(mciSendCommandA(m_deviceId, MCI_SET, MCI_WAIT | MCI_SET_TIME_FORMAT, DWORD_PTR(&parms)));
}

std::int32_t TMediaPlayer::TrackCount() {
    CheckOpen();
    return std::int32_t(StatusItem(MCI_STATUS_NUMBER_OF_TRACKS));
}

std::int32_t TMediaPlayer::TrackStart(std::int32_t track) {
    return std::int32_t(StatusItem(MCI_STATUS_POSITION, MCI_TRACK, DWORD(track), false));
}

// ---- picture and display -----------------------------------------------------------------------

void TMediaPlayer::GetPictureRect(TRect& rect) {
    if (!m_open || !m_hasVideo) return;
    MCI_DGV_RECT_PARMS parms;
    RecordResult(mciSendCommandA(m_deviceId, MCI_WHERE, MCI_DGV_WHERE_DESTINATION, DWORD_PTR(&parms)));
    rect = TRect{parms.rc.left, parms.rc.top, parms.rc.right, parms.rc.bottom};
}

void TMediaPlayer::SetPictureRect(const TRect& rect) {
    if (!m_open || !m_hasVideo) return;
    MCI_DGV_RECT_PARMS parms;
    parms.rc = RECT{rect.Left, rect.Top, rect.Right, rect.Bottom};
    if (rect.Right == 0 && rect.Bottom == 0) parms.rc = RECT{rect.Left, rect.Top, m_naturalWidth, m_naturalHeight};
    RecordResult(mciSendCommandA(m_deviceId, MCI_PUT, MCI_DGV_PUT_DESTINATION | MCI_DGV_RECT, DWORD_PTR(&parms)));
}

MCIERROR TMediaPlayer::SendWindow(HWND window) {
    MCI_DGV_WINDOW_PARMS parms;
    parms.hWnd = window;
    return RecordResult(mciSendCommandA(m_deviceId, MCI_WINDOW, MCI_WAIT | MCI_DGV_WINDOW_HWND, DWORD_PTR(&parms)));
}

void TMediaPlayer::SetDisplay(QWidget* value) {
    QWidget* stored = value;
    if (value && m_open && m_hasVideo && SendWindow(value) != 0) stored = nullptr;
    WatchDisplay(stored);
}

// The stored window is not owned; its destruction is watched so the reference never dangles.
void TMediaPlayer::WatchDisplay(QWidget* window) {
    QObject::disconnect(m_displayWatch);
    m_display = window;
    if (window)
        m_displayWatch = connect(window, &QObject::destroyed, this,
                                 [this](QObject* gone) { fw::guard([&] { DisplayDestroyed(gone); }); });
}

void TMediaPlayer::DisplayDestroyed(QObject* window) {
    QObject::disconnect(m_displayWatch);
    if (m_open && m_hasVideo) SendWindow(MCI_DGV_WINDOW_DEFAULT);
    m_display = nullptr;
}

// ---- completion messages -----------------------------------------------------------------------

void TMediaPlayer::Notified(const MciNotifyEvent& message) {
    if (m_autoEnable && Mode() == dmStopped) {
        if (m_canPlay) m_autoButtons.Include(btPlay);
        if (m_canRecord) m_autoButtons.Include(btRecord);
        m_autoButtons = m_autoButtons - TButtonSet{btPause, btStop};
        RefreshAutoFlags();
    }
    switch (message.wParam) {
        case MCI_NOTIFY_SUCCESSFUL: m_lastNotify = nfSuccessful; break;
        case MCI_NOTIFY_SUPERSEDED: m_lastNotify = nfSuperseded; break;
        case MCI_NOTIFY_ABORTED: m_lastNotify = nfAborted; break;
        case MCI_NOTIFY_FAILURE: m_lastNotify = nfFailure; break;
        default: break;
    }
    DeviceNotify();
}

void TMediaPlayer::DeviceNotify() {
    if (OnNotify) OnNotify(this);
}
