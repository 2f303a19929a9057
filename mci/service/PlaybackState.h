// The playback state of one device: its mode and the play notification it owes, changed only by
// handle(), which is the one place that decides each transition, reports the mode change and
// posts the completion message that the transition settles.
//
// Fate of an owed play notification (MM_MCINOTIFY to the window named by the play or resume
// that asked for it):
//   reaching the end                      MCI_NOTIFY_SUCCESSFUL
//   a new play/resume asking for notice   MCI_NOTIFY_SUPERSEDED (the new one is then owed)
//   a new play/resume not asking          MCI_NOTIFY_ABORTED
//   pause, stop, seek, step, close        MCI_NOTIFY_ABORTED
//   the file became unreadable mid-play   MCI_NOTIFY_FAILURE
//
// Threads: UI thread only. Messages are posted (never sent) to the callback window, which is
// held as a QPointer so a window destroyed meanwhile is simply not told.
#pragma once

#include "Mci.h"

#include <QPointer>
#include <QWidget>

#include <functional>

namespace mci {

enum class Mode { Stopped, Playing, Paused };

DWORD modeCode(Mode mode);  // MCI_MODE_STOP, MCI_MODE_PLAY, MCI_MODE_PAUSE

enum class PlaybackEvent {
    Play,        // play or resume: to Playing
    Pause,       // Playing to Paused; otherwise nothing
    Stop,        // to Stopped
    Reposition,  // seek or step: Playing to Stopped, Paused stays Paused
    ReachEnd,    // Playing to Stopped, the play succeeded
    Fail,        // Playing to Stopped, the play failed
    Close,       // to Stopped; nothing is owed any more
};

// The window a command asked to be told at; null when it did not ask (or named no window).
struct NotifyRequest {
    bool wanted = false;
    QPointer<QWidget> window;
};

class PlaybackState {
public:
    // onModeChange(from, to) runs inside handle() for every event, also when the mode stays
    // (Play while playing restarts the run); it is where the device starts and halts playback.
    PlaybackState(MCIDEVICEID device, std::function<void(Mode from, Mode to)> onModeChange);

    Mode mode() const { return m_mode; }
    bool owesNotification() const { return m_owed.wanted; }

    // request only matters for Play.
    void handle(PlaybackEvent event, const NotifyRequest& request = {});

    // Posts MM_MCINOTIFY with code to request's window, if it asked for one.
    static void notify(const NotifyRequest& request, WPARAM code, MCIDEVICEID device);

private:
    void settle(WPARAM code);  // posts and forgets the owed notification

    const MCIDEVICEID m_device;
    std::function<void(Mode, Mode)> m_onModeChange;
    Mode m_mode = Mode::Stopped;
    NotifyRequest m_owed;
};

}  // namespace mci
