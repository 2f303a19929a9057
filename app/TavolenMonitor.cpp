// The playback monitor (Timer1, every 30 ms), the overrides of the transport buttons, the
// click on the window, and repainting the picture.
#include "TavolenPlay.h"

#include "Edit.h"
#include "CheckBox.h"
#include "PlayerRules.h"
#include "TrackBar.h"

static constexpr TButtonSet PlayingButtons{btPause};
static constexpr TButtonSet StoppedButtons{btPlay, btStep, btBack};

// The buttons for a mode the device has just entered, and the mode to remember. With repeat
// on, a fall from playing to stopped is the end of the medium and restarts at frame 0, while a
// pause that the device reports as stopped stays a pause. A restart the device refuses (its
// file can no longer be read) leaves it stopped, and the transport says so instead of showing a
// play that is not happening.
static TButtonSet ButtonsForNewMode(TMediaPlayer& player, TMPModes mode, bool repeat) {
    switch (mode) {
    case dmStopped:
        if (!repeat) {
            LastMode = dmStopped;
            return StoppedButtons;
        }
        if (LastMode == dmPaused) return StoppedButtons;
        player.SetPosition(0);
        player.Play();
        if (player.LastError() != 0) {
            LastMode = dmStopped;
            return StoppedButtons;
        }
        LastMode = dmPlaying;
        return PlayingButtons;
    case dmPlaying:
        LastMode = dmPlaying;
        return PlayingButtons;
    case dmPaused:
        LastMode = dmPaused;
        return StoppedButtons;
    default:
        LastMode = mode;
        return TButtonSet();
    }
}

void TTavolenForm::Timer1Timer(TObject* Sender) {
    // First, so that no error later in the tick can keep the screen awake.
    KeepScreenAwake();
    // After a failed Open there is nothing to watch; reading the length would raise on every
    // tick.
    if (MediaPlayer1->OpenDeviceId() == 0) return;
    const std::int32_t pos = MediaPlayer1->Position();
    const std::int32_t len = MediaPlayer1->Length();
    if (Bar->position() != LastFrame) {  // the user moved the slider
        MediaPlayer1->Pause();
        LastFrame = Bar->position();
        MediaPlayer1->SetPosition(LastFrame);
        if (LastMode == dmPlaying) MediaPlayer1->Play();
    } else if (pos != LastFrame) {
        LastFrame = pos;
        Bar->setPosition(pos);
    }
    Counter->setText(QString::number(len) + QStringLiteral(" / ") + QString::number(pos) +
                     QStringLiteral("Fr.( ") + FrameToTimeCode(pos) + QStringLiteral(" )"));

    const TMPModes mode = MediaPlayer1->Mode();
    if (mode == LastMode) return;
    const TButtonSet buttons = ButtonsForNewMode(*MediaPlayer1, mode, isRepeat->isChecked());
    if (!(buttons == MediaPlayer1->EnabledButtons())) MediaPlayer1->SetEnabledButtons(buttons);
    LastFrame = MediaPlayer1->Position();
    Bar->setPosition(LastFrame);
}

void TTavolenForm::MediaPlayer1Click(TObject* Sender, TMPBtnType Button, bool& DoDefault) {
    const std::int32_t pos = MediaPlayer1->Position();
    if (!isRepeat->isChecked()) return;
    switch (Button) {
    case btStep:
        DoDefault = false;
        if (pos == MediaPlayer1->Length() - 1)
            MediaPlayer1->SetPosition(0);
        else
            MediaPlayer1->Step();
        break;
    case btBack:
        DoDefault = false;
        if (pos != 0)
            MediaPlayer1->Back();
        else
            MediaPlayer1->SetPosition(MediaPlayer1->Length() - 1);
        break;
    default:
        break;
    }
}

void TTavolenForm::FormClick(TObject* Sender) {
    MediaPlayer1->Pause();
    LastMode = dmPaused;
    MediaPlayer1->SetEnabledButtons(StoppedButtons);
}

void TTavolenForm::FormPaint(TObject* Sender) { UpdateDisplay(); }

void TTavolenForm::UpdateDisplay() {
    // With no device the seek below would raise, and its error box would come back with every
    // repaint that box causes.
    const std::uint16_t device = MediaPlayer1->OpenDeviceId();
    if (device == 0) return;
    const std::int32_t pos = MediaPlayer1->Position();
    MCI_DGV_UPDATE_PARMS parms;
    parms.dwCallback = mciCallbackOf(client());
    parms.hDC = client();
    mciSendCommandA(device, MCI_UPDATE, MCI_DGV_UPDATE_HDC, DWORD_PTR(&parms));
    // The seek puts a paused picture back on its frame; while playing it would stop playback.
    if (MediaPlayer1->Mode() != dmPlaying) MediaPlayer1->SetPosition(pos);
}
