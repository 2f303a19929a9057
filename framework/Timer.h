// The message timer. Ticks are delivered by the event loop on the UI thread, the nested loops
// of dialogs and message boxes included.
//
// - Enabling an enabled timer changes nothing: the interval is not restarted.
// - A tick runs OnTimer through the guard: an exception is shown and the timer keeps running.
// - A tick never re-enters a handler that is still running (for instance while that handler's
//   own error box is open); ticks falling due meanwhile are dropped.
// - While a TimerHold lives, every timer's ticks are dropped.
#pragma once

#include "Events.h"

#include <QObject>

namespace fw {

class Timer : public QObject {
    Q_OBJECT
public:
    explicit Timer(QObject* owner = nullptr);
    ~Timer() override;

    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled);  // may raise EOutOfResources ("タイマーを取得できません")
    int interval() const { return m_interval; }
    void setInterval(int milliseconds);  // default 1000; restarts a running timer

    TNotifyEvent OnTimer;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void start();
    void stop();

    bool m_enabled = false;
    int m_interval = 1000;
    int m_timerId = 0;
    bool m_running = false;  // OnTimer is on the stack
};

// Holds the ticks of every timer while it lives, on the UI thread: a step the program takes as
// one synchronous call (closing a medium and opening the next) may still run the event loop
// inside (a progress window), and no tick may find what it works on half changed. Nests.
class TimerHold {
public:
    TimerHold();
    ~TimerHold();
    TimerHold(const TimerHold&) = delete;
    TimerHold& operator=(const TimerHold&) = delete;
    static bool active();
};

}  // namespace fw
