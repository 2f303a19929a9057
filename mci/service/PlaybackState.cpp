#include "PlaybackState.h"

#include <QCoreApplication>

namespace mci {

DWORD modeCode(Mode mode) {
    switch (mode) {
    case Mode::Playing: return MCI_MODE_PLAY;
    case Mode::Paused: return MCI_MODE_PAUSE;
    case Mode::Stopped: break;
    }
    return MCI_MODE_STOP;
}

PlaybackState::PlaybackState(MCIDEVICEID device, std::function<void(Mode, Mode)> onModeChange)
    : m_device(device), m_onModeChange(std::move(onModeChange)) {}

void PlaybackState::notify(const NotifyRequest& request, WPARAM code, MCIDEVICEID device) {
    if (!request.wanted || request.window.isNull()) return;
    QCoreApplication::postEvent(request.window.data(), new MciNotifyEvent(code, device));
}

void PlaybackState::settle(WPARAM code) {
    const NotifyRequest owed = m_owed;
    m_owed = {};
    notify(owed, code, m_device);
}

void PlaybackState::handle(PlaybackEvent event, const NotifyRequest& request) {
    const Mode from = m_mode;
    Mode to = from;
    switch (event) {
    case PlaybackEvent::Play:
        settle(request.wanted ? MCI_NOTIFY_SUPERSEDED : MCI_NOTIFY_ABORTED);
        m_owed = request;
        to = Mode::Playing;
        break;
    case PlaybackEvent::Pause:
        if (from != Mode::Playing) return;
        settle(MCI_NOTIFY_ABORTED);
        to = Mode::Paused;
        break;
    case PlaybackEvent::Stop:
    case PlaybackEvent::Close:
        settle(MCI_NOTIFY_ABORTED);
        to = Mode::Stopped;
        break;
    case PlaybackEvent::Reposition:
        settle(MCI_NOTIFY_ABORTED);
        to = from == Mode::Paused ? Mode::Paused : Mode::Stopped;
        break;
    case PlaybackEvent::ReachEnd:
    case PlaybackEvent::Fail:
        if (from != Mode::Playing) return;
        to = Mode::Stopped;
        break;
    }
    m_mode = to;
    // The device halts or starts its machinery before anyone hears of the outcome, so a
    // message handler that reads the status sees the new mode and position.
    if (m_onModeChange) m_onModeChange(from, to);
    if (event == PlaybackEvent::ReachEnd) settle(MCI_NOTIFY_SUCCESSFUL);
    if (event == PlaybackEvent::Fail) settle(MCI_NOTIFY_FAILURE);
}

}  // namespace mci
