// The player window TTavolenForm: the program's main window. It takes a media file from the
// command line or the open dialog, opens it on its media device MediaPlayer1, lays itself out
// around the picture, starts playback one second later (Timer2) and from then on keeps the
// position slider, the counter and the transport buttons in step with the device (Timer1,
// every 30 ms). The zoom slider scales the picture and the window.
//
// Contract
// - UI thread only. Every handler that Qt calls runs through fw::guard: an exception ends the
//   handler, is shown in the error box, and the window carries on.
// - The window is built from its description (resources/TavolenPlay.ui) in the constructor,
//   which then runs FormCreate. When the user cancels the open dialog at start-up, FormCreate
//   asks the program to end: StartCancelled() is true, and the window must not be shown.
// - Construction registers the window in the global TavolenForm; destruction runs FormDestroy
//   (closing the device) and clears it again.
// - The unit state LastMode, LastFrame and NaturalRect is shared with the index window; a new
//   window starts it from zero, as the program does.
// - Every open switches the device to frames right after MCI_OPEN and sets LastFrame to the
//   slider's position, so counter, slider and index entries always count frames.
// - The monitor skips its tick, and a repaint does nothing, while no device is open; a repaint
//   never seeks while the device plays.
// - A file dropped on the window opens as a file chosen in File > Open, and the screen stays
//   awake while the device plays (TavolenDesktop.h).
// - The inspection tools (TavolenInspect.cpp) come after the described menu items: go to a
//   frame (Ctrl+G), save the frame as a PNG (Ctrl+Shift+S) or copy it (Ctrl+Shift+C), the frame
//   information window (F2), and "." / "," and the wheel over the picture stepping from
//   wherever the focus is in the window.
#pragma once

#include "Form.h"
#include "MPlayer.h"

#include <QRect>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>

class QAction;
class QMenu;
class QMenuBar;
class TFrameInfoWindow;

namespace Ui {
class TavolenPlay;
}

namespace fw {
class Bevel;
class CheckBox;
class Edit;
class OpenDialog;
class SaveDialog;
class ScreenSaverInhibitor;
class Timer;
class TrackBar;
}  // namespace fw

// The mode the window last recorded for the device (the monitor, the start timer, FormClick).
extern TMPModes LastMode;
// The frame at which Bar and the device were last brought into agreement.
extern std::int32_t LastFrame;
// The picture's natural size after the last successful Open (Right = width, Bottom = height);
// all zero for a file without picture.
extern TRect NaturalRect;

class TTavolenForm : public fw::Form {
public:
    // `arguments` are the program's arguments without the program itself; they name the file.
    explicit TTavolenForm(const QStringList& arguments, QWidget* parent = nullptr);
    ~TTavolenForm() override;

    // The user cancelled the open dialog at start-up: the program ends with exit code 0.
    bool StartCancelled() const { return m_startCancelled; }

    // Components, as the description names them (owned by the window).
    TMediaPlayer* MediaPlayer1 = nullptr;
    fw::Timer* Timer1 = nullptr;  // the monitor, 30 ms
    std::unique_ptr<fw::OpenDialog> OpenDialog1;
    fw::Timer* Timer2 = nullptr;  // the start timer, 1000 ms, one tick per open
    QMenuBar* MainMenu1 = nullptr;
    QMenu* KF1 = nullptr;
    QAction* KO1 = nullptr;
    QAction* N1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* K1 = nullptr;
    QAction* Ktavolenexe1 = nullptr;
    fw::CheckBox* isRepeat = nullptr;
    fw::Edit* Counter = nullptr;
    QAction* K2 = nullptr;
    QMenu* Show1 = nullptr;
    QAction* K3 = nullptr;
    fw::TrackBar* Bar = nullptr;
    fw::TrackBar* Scalbar = nullptr;
    fw::Edit* Scal = nullptr;
    fw::Bevel* Bevel1 = nullptr;
    fw::Bevel* Bevel2 = nullptr;
    fw::Bevel* Bevel3 = nullptr;
    fw::Bevel* Bevel4 = nullptr;
    // The inspection tools, after the described items of ファイル and 表示.
    QAction* N2 = nullptr;
    QAction* SaveFrame1 = nullptr;
    QAction* CopyFrame1 = nullptr;
    QAction* GoToFrame1 = nullptr;
    QAction* FrameInfo1 = nullptr;
    std::unique_ptr<fw::SaveDialog> SaveFrameDialog1;
    std::unique_ptr<TFrameInfoWindow> FrameInfoWindow;  // created on the first F2

    // Handlers.
    void FormCreate(TObject* Sender);
    void Timer1Timer(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void Timer2Timer(TObject* Sender);
    void KO1Click(TObject* Sender);
    void Exit1Click(TObject* Sender);
    void Ktavolenexe1Click(TObject* Sender);
    void isRepeatClick(TObject* Sender);
    void K3Click(TObject* Sender);
    void K2Click(TObject* Sender);
    void FormPaint(TObject* Sender);
    void BarChange(TObject* Sender);
    void ScalbarChange(TObject* Sender);
    void UpdateDisplay();
    void FormClick(TObject* Sender);
    void MediaPlayer1Click(TObject* Sender, TMPBtnType Button, bool& DoDefault);
    // Inspection tools. Go to, save and copy raise "MCI デバイスがありません" without an open
    // device; the information window then shows dashes.
    void GoToFrame1Click(TObject* Sender);
    void SaveFrame1Click(TObject* Sender);
    void CopyFrame1Click(TObject* Sender);
    void FrameInfo1Click(TObject* Sender);
    // What 移動 does with the go-to text: pauses and seeks to the frame it names, or raises a
    // message that says why not (and nothing changes).
    void GoToText(const QString& Text);
    // "." (btStep) and "," (btBack): pauses when playing, then what that transport button
    // does, the repeat rule included. Nothing without an open device.
    void StepFromKey(TMPBtnType Button);

    // A file chosen in File > Open's dialog, or dropped on the window: checks that it exists,
    // opens it and runs the index step of File > Open.
    void OpenChosenFile(const QString& name);
    // Opens a file on the device and lays the window out around its picture; raises the
    // device's error when the service refuses the file (the rest is then skipped).
    void OpenMedia(const QString& name);
    // Sizes the window and its controls for a picture of r.Right x r.Bottom.
    void LayoutWindow(const TRect& r);

    // Where the picture is drawn in the client area: (42, 74) at the size last given to the
    // device, the natural size when that was 0 x 0. Paints outside it leave the device alone.
    QRect PictureArea() const { return m_pictureArea; }

private:
    void BuildFromDescription();
    void ConnectEvents();
    void ConnectMenuItem(QAction* item, void (TTavolenForm::*handler)(TObject*));
    void PlacePicture(std::int32_t width, std::int32_t height);
    // Drops and the screen saver (TavolenDesktop.cpp).
    void ConnectDesktop();
    void KeepScreenAwake();
    // The index file's steps at the end of the start timer's tick and of File > Open
    // (TavolenIndex.cpp): load the media file's index file into the index window.
    void IndexStepAfterStart();
    void IndexStepAfterOpen(const QString& chosenName);
    // The inspection tools' menu items, keys and wheel (TavolenInspect.cpp).
    void BuildInspectionTools();
    void PauseHere();
    friend class TStepKeys;
    // A wheel turn over the picture; true when it was the picture's.
    bool WheelOverPicture(QWidget* Receiver, const QPointF& Position, int AngleDelta);

    std::unique_ptr<Ui::TavolenPlay> m_ui;
    QStringList m_arguments;
    bool m_startCancelled = false;
    QRect m_pictureArea;
    std::unique_ptr<fw::ScreenSaverInhibitor> m_screenSaver;
    // The index window's UserEdits() when File > Open cleared or loaded its entries, until the
    // start timer that follows has run.
    std::optional<std::uint64_t> m_indexEditsAtFileOpen;
    // Watches the application's keys and wheel for this window; a child of the window.
    QObject* m_stepKeys = nullptr;
    int m_wheelDelta = 0;  // eighths of a degree not yet stepped
};

// The window's single instance while it exists.
extern TTavolenForm* TavolenForm;
