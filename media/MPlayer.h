// The media device component TMediaPlayer: one self-painting control that keeps at most one
// device of the media service open (the device half) and paints a row of glyph buttons that
// drive it (the transport bar).
//
// Contract
// - Threads: UI thread only. Every operation and property may be called from any handler.
// - The service is reached only through mciSendCommandA / mciGetErrorStringA (Mci.h). The
//   widget itself is the callback window of Play, Record and Resume: completion messages arrive
//   as MciNotifyEvent through event() and run through fw::guard.
// - Failures: EMCIDeviceError, only for "MCI デバイスがありません" (an operation that needs an
//   open device) and for a refused Open (the service's text or "原因不明のエラー"). Every other
//   refused command leaves its code in LastError() and raises nothing.
// - Display is not owned. The component watches the stored window and forgets it when that
//   window is destroyed (detaching the picture first when a device with a picture is open).
// - Geometry: the bar's window "exists" from its first delivered size (when it is first shown)
//   or from the first use of its own window as the callback window (the first Open), whichever
//   comes first; the size rule then corrects Width/Height at once, and ButtonWidth() is 0 before
//   it. Qt tells a hidden widget nothing of a new size, so resize() and setGeometry() called
//   through TMediaPlayer apply the rule themselves once the window exists; sizes set through a
//   QWidget pointer (a layout) are corrected when the bar is next shown.
// - Window-description loading: set geometry and the published properties through the setters
//   (or through the Qt properties of the same names), then call Loaded(), which opens the
//   device when AutoOpen is true.
#pragma once

#include "Events.h"
#include "Mci.h"

#include <QImage>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>

// ---- shared types ----------------------------------------------------------------------------

// Button kinds, also the left-to-right order of the buttons.
enum TMPBtnType : std::uint8_t { btPlay, btPause, btStop, btNext, btPrev, btStep, btBack, btRecord, btEject };
inline constexpr int MPButtonKinds = 9;

// A set of button kinds: bit n for kind n (bits 0 to 8 used).
class TButtonSet {
public:
    constexpr TButtonSet() = default;
    constexpr TButtonSet(std::initializer_list<TMPBtnType> kinds) {
        for (TMPBtnType kind : kinds) m_mask |= bit(kind);
    }
    static constexpr TButtonSet FromMask(std::uint16_t mask) {
        TButtonSet set;
        set.m_mask = std::uint16_t(mask & 0x1FF);
        return set;
    }
    static constexpr TButtonSet All() { return FromMask(0x1FF); }

    constexpr std::uint16_t Mask() const { return m_mask; }
    constexpr bool Contains(TMPBtnType kind) const { return (m_mask & bit(kind)) != 0; }
    constexpr bool Empty() const { return m_mask == 0; }
    constexpr TButtonSet& Include(TMPBtnType kind) { m_mask |= bit(kind); return *this; }
    constexpr TButtonSet& Exclude(TMPBtnType kind) { m_mask &= std::uint16_t(~bit(kind)); return *this; }

    friend constexpr TButtonSet operator+(TButtonSet a, TButtonSet b) { return FromMask(a.m_mask | b.m_mask); }
    friend constexpr TButtonSet operator-(TButtonSet a, TButtonSet b) { return FromMask(a.m_mask & ~b.m_mask); }
    friend constexpr TButtonSet operator*(TButtonSet a, TButtonSet b) { return FromMask(a.m_mask & b.m_mask); }
    friend constexpr bool operator==(TButtonSet a, TButtonSet b) { return a.m_mask == b.m_mask; }

private:
    static constexpr std::uint16_t bit(TMPBtnType kind) { return std::uint16_t(1u << unsigned(kind)); }
    std::uint16_t m_mask = 0;
};

// Device types, with the type string that Open passes to the service (none for dtAutoSelect).
enum TMPDeviceTypes : std::uint8_t {
    dtAutoSelect, dtAVIVideo, dtCDAudio, dtDAT, dtDigitalVideo, dtMMMovie, dtOther, dtOverlay,
    dtScanner, dtSequencer, dtVCR, dtVideodisc, dtWaveAudio
};

// Device modes: the service's MCI_MODE_NOT_READY (524) .. MCI_MODE_OPEN (530) less 524.
enum TMPModes : std::uint8_t { dmNotReady, dmStopped, dmPlaying, dmRecording, dmSeeking, dmPaused, dmOpen };

// Outcome of a completion message.
enum TMPNotifyValues : std::uint8_t { nfSuccessful, nfSuperseded, nfAborted, nfFailure };

// Capabilities; bit n of TMPDevCapsSet for value n.
enum TMPDevCaps : std::uint8_t { capStep, capEject, capPlay, capRecord, capVideo };
class TMPDevCapsSet {
public:
    constexpr std::uint8_t Mask() const { return m_mask; }
    constexpr bool Contains(TMPDevCaps cap) const { return (m_mask & (1u << unsigned(cap))) != 0; }
    constexpr TMPDevCapsSet& Include(TMPDevCaps cap) { m_mask |= std::uint8_t(1u << unsigned(cap)); return *this; }
    friend constexpr bool operator==(TMPDevCapsSet a, TMPDevCapsSet b) { return a.m_mask == b.m_mask; }

private:
    std::uint8_t m_mask = 0;
};

// The service's time format code (MCI_FORMAT_MILLISECONDS 0 .. MCI_FORMAT_TMSF 10).
using TMPTimeFormats = std::uint8_t;

// The three pictures of a button.
enum GlyphKind : std::uint8_t { glEnabled, glDisabled, glColored };

// A display rectangle: where it places or reports a picture, Right and Bottom hold the width and
// the height, not the far corner.
struct TRect {
    std::int32_t Left = 0;
    std::int32_t Top = 0;
    std::int32_t Right = 0;
    std::int32_t Bottom = 0;
    friend bool operator==(const TRect&, const TRect&) = default;
};

struct TPoint {
    std::int32_t X = 0;
    std::int32_t Y = 0;
};

// OnClick: DoDefault is true on entry; setting it false cancels the default operation and
// OnPostClick.
using EMPNotify = std::function<void(TObject* Sender, TMPBtnType Button, bool& DoDefault)>;
using EMPPostNotify = std::function<void(TObject* Sender, TMPBtnType Button)>;

// ---- the component ---------------------------------------------------------------------------

class TMediaPlayer : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int VisibleButtons READ visibleMask WRITE setVisibleMask)
    Q_PROPERTY(int EnabledButtons READ enabledMask WRITE setEnabledMask)
    Q_PROPERTY(int ColoredButtons READ coloredMask WRITE setColoredMask)
    Q_PROPERTY(bool AutoEnable READ AutoEnable WRITE SetAutoEnable)
    Q_PROPERTY(bool AutoOpen READ AutoOpen WRITE SetAutoOpen)
    Q_PROPERTY(bool AutoRewind READ AutoRewind WRITE SetAutoRewind)
    Q_PROPERTY(bool Shareable READ Shareable WRITE SetShareable)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)

public:
    explicit TMediaPlayer(QWidget* parent = nullptr);
    // Closes an open device (MCI_CLOSE with MCI_WAIT, result ignored).
    ~TMediaPlayer() override;

    // End of window-description loading: opens the device when AutoOpen is true.
    void Loaded();

    // ---- operations (device half) ----
    // Every operation except Open and Close raises EMCIDeviceError "MCI デバイスがありません"
    // before sending anything when no device is open. Close with none open does nothing; a
    // refused Close keeps the device. Play, Record and Resume return at once and report their
    // end later through a completion message (OnNotify); the others wait for the service.
    // Open closes an open device first and raises EMCIDeviceError with LastErrorText() when
    // the service refuses.
    void Open();
    void Close();
    void Play();
    void Record();
    void Stop();
    void Pause();
    void Resume();
    void TogglePause();
    void Next();
    void Previous();
    void Step();
    void Back();
    void Eject();
    void SeekToStart();

    // ---- device properties ----
    QString FileName() const { return m_fileName; }
    void SetFileName(const QString& value) { m_fileName = value; }
    TMPDeviceTypes DeviceType() const { return m_deviceType; }
    void SetDeviceType(TMPDeviceTypes value) { m_deviceType = value; }
    bool Shareable() const { return m_shareable; }
    void SetShareable(bool value) { m_shareable = value; }
    bool AutoOpen() const { return m_autoOpen; }
    void SetAutoOpen(bool value) { m_autoOpen = value; }
    bool AutoRewind() const { return m_autoRewind; }
    void SetAutoRewind(bool value) { m_autoRewind = value; }
    QWidget* Display() const { return m_display; }
    void SetDisplay(QWidget* value);

    std::uint16_t OpenDeviceId() const { return m_deviceId; }
    std::int32_t StepFrames() const { return m_stepFrames; }
    void SetStepFrames(std::int32_t value) { m_stepFrames = value; }
    MCIERROR LastError() const { return m_lastError; }
    QString LastErrorText() const;
    TMPNotifyValues LastNotify() const { return m_lastNotify; }
    TMPDevCapsSet DeviceCaps() const { return m_caps; }

    // Position, Mode, TrackStart and SetTimeFormat do not check open: without a device they go
    // to device 0, which the service refuses (what they read then means nothing). TrackStart does not
    // touch LastError; every other read and write records its result there.
    std::int32_t Position();
    void SetPosition(std::int32_t value);
    std::int32_t Length();
    std::int32_t Start();
    TMPModes Mode();
    TMPTimeFormats TimeFormat();
    void SetTimeFormat(TMPTimeFormats value);
    std::int32_t TrackCount();
    std::int32_t TrackStart(std::int32_t track);
    // Fills rect only when a device with a picture is open; otherwise leaves it as it was.
    void GetPictureRect(TRect& rect);
    void SetPictureRect(const TRect& rect);

    // ---- transport bar properties ----
    TButtonSet VisibleButtons() const { return m_visibleButtons; }
    void SetVisibleButtons(TButtonSet value);
    TButtonSet EnabledButtons() const { return m_enabledButtons; }
    void SetEnabledButtons(TButtonSet value);
    TButtonSet ColoredButtons() const { return m_coloredButtons; }
    void SetColoredButtons(TButtonSet value);
    bool AutoEnable() const { return m_autoEnable; }
    void SetAutoEnable(bool value);
    TButtonSet AutoButtons() const { return m_autoButtons; }

    // Read-only views of the bar's state.
    std::int32_t ButtonWidth() const { return m_buttonWidth; }
    TPoint MinButtonSize() const { return m_minButtonSize; }
    TMPBtnType FocusButton() const { return m_focusButton; }
    TMPBtnType ActiveButton() const { return m_activeButton; }
    bool Tracking() const { return m_tracking; }
    bool ShownPressed() const { return m_shownPressed; }
    int VisibleCount() const;
    // True when the kind can be pressed and clicked (AutoButtons or EnabledButtons decide).
    bool IsAvailable(TMPBtnType kind) const;
    // The loaded picture (4-bit as stored; 0 x 0 when its resource failed to load).
    const QImage& Glyph(TMPBtnType kind, GlyphKind glyph) const;

    // Geometry through the component applies the size rule at once once the window exists, even
    // while the bar is hidden (see the contract above).
    void resize(int w, int h);
    void resize(const QSize& size) { resize(size.width(), size.height()); }
    void setGeometry(int x, int y, int w, int h);
    void setGeometry(const QRect& rect) { setGeometry(rect.x(), rect.y(), rect.width(), rect.height()); }

    // ---- events ----
    EMPNotify OnClick;
    EMPPostNotify OnPostClick;
    TNotifyEvent OnNotify;

protected:
    // Overridable operations, in slot order.
    virtual void AdjustAutoButtons(TMPBtnType button);
    virtual void ButtonClick(TMPBtnType button, bool& DoDefault);
    virtual void ButtonPostClick(TMPBtnType button);
    virtual void DeviceNotify();
    void RefreshAutoFlags();

    // Qt's messages, each run through fw::guard.
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    struct ButtonSlot {
        bool IsVisible = false;
        bool IsEnabled = false;
        bool IsColored = false;
        bool IsAuto = false;
        std::array<QImage, 3> Glyphs;     // as loaded
        std::array<QImage, 3> KeyedGlyphs;  // key colour made transparent, for drawing
    };

    // device half
    void CheckOpen() const;
    MCIERROR RecordResult(MCIERROR result) { return m_lastError = result; }
    DWORD_PTR Callback();
    DWORD StatusItem(DWORD item, DWORD extraFlags = 0, DWORD track = 0, bool record = true);
    bool DevCap(DWORD item, DWORD* value = nullptr);
    void ReadCapabilities();
    void ReadNaturalSize();
    void SetAutoButtonsAfterOpen();
    MCIERROR SendWindow(HWND window);
    void SeekWith(DWORD how, std::int32_t target);
    void GoToTrackTarget(std::int32_t target);
    void SendStep(DWORD direction);
    void WatchDisplay(QWidget* window);
    void DisplayDestroyed(QObject* window);
    void PlayFromTarget(std::int32_t target);
    void Notified(const MciNotifyEvent& message);
    [[noreturn]] void RaiseOpenError();

    // transport bar
    void LoadGlyphs();
    void EnsureWindow();
    void ApplySizeRule();
    void FitWidth();
    void PaintButton(QPainter& painter, TMPBtnType kind, int x);
    void PaintButtonAtOnce(int x);
    void PressAt(int x);
    void MoveTo(QPoint point);
    void Release();
    void KeyDown(int key);
    void ClickButton();
    void AfterClickUpdate();
    void MoveFocus(int direction);
    GlyphKind GlyphFor(TMPBtnType kind) const;

    int visibleMask() const { return m_visibleButtons.Mask(); }
    void setVisibleMask(int mask) { SetVisibleButtons(TButtonSet::FromMask(std::uint16_t(mask))); }
    int enabledMask() const { return m_enabledButtons.Mask(); }
    void setEnabledMask(int mask) { SetEnabledButtons(TButtonSet::FromMask(std::uint16_t(mask))); }
    int coloredMask() const { return m_coloredButtons.Mask(); }
    void setColoredMask(int mask) { SetColoredButtons(TButtonSet::FromMask(std::uint16_t(mask))); }

    // bar state
    std::array<ButtonSlot, MPButtonKinds> m_slots;
    TButtonSet m_visibleButtons;
    TButtonSet m_enabledButtons;
    TButtonSet m_coloredButtons;
    TButtonSet m_autoButtons;
    bool m_tracking = false;
    bool m_shownPressed = false;
    TMPBtnType m_activeButton = btPlay;
    QRect m_pressRect;
    std::int32_t m_buttonWidth = 0;
    TPoint m_minButtonSize;
    TMPBtnType m_focusButton = btPlay;
    bool m_autoEnable = true;
    bool m_windowExists = false;

    // device state
    QString m_fileName;
    TMPDeviceTypes m_deviceType = dtAutoSelect;
    bool m_shareable = false;
    bool m_autoOpen = false;
    bool m_autoRewind = true;
    QPointer<QWidget> m_display;
    QMetaObject::Connection m_displayWatch;
    bool m_open = false;
    std::uint16_t m_deviceId = 0;
    std::int32_t m_stepFrames = 0;
    MCIERROR m_lastError = 0;
    TMPNotifyValues m_lastNotify = nfSuccessful;
    TMPDevCapsSet m_caps;
    bool m_canPlay = false;
    bool m_canRecord = false;
    bool m_canEject = false;
    bool m_canStep = false;
    bool m_hasVideo = false;
    std::int32_t m_naturalWidth = 0;
    std::int32_t m_naturalHeight = 0;
    std::int32_t m_pendingFrom = 0;
    bool m_pending = false;
};
