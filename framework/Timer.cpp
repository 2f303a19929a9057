#include "Timer.h"

#include "Application.h"
#include "Exception.h"

#include <QTimerEvent>

namespace fw {

namespace {
int holds = 0;  // UI thread only
}  // namespace

TimerHold::TimerHold() { ++holds; }

TimerHold::~TimerHold() { --holds; }

bool TimerHold::active() { return holds > 0; }

Timer::Timer(QObject* owner) : QObject(owner) {}

Timer::~Timer() { stop(); }

void Timer::setEnabled(bool enabled) {
    if (enabled == m_enabled) return;  // re-enabling must not restart the interval
    m_enabled = enabled;
    if (enabled)
        start();
    else
        stop();
}

void Timer::setInterval(int milliseconds) {
    if (milliseconds == m_interval) return;
    m_interval = milliseconds;
    if (m_enabled) {
        stop();
        start();
    }
}

void Timer::start() {
    if (m_interval <= 0) return;
    m_timerId = startTimer(m_interval, Qt::PreciseTimer);
    if (m_timerId == 0) {
        m_enabled = false;
        throw EOutOfResources("タイマーを取得できません");
    }
}

void Timer::stop() {
    if (m_timerId != 0) killTimer(m_timerId);
    m_timerId = 0;
}

void Timer::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_timerId) return QObject::timerEvent(event);
    // A tick that falls due while the handler is still on the stack (its own error box, a
    // dialog it opened) is dropped rather than stacked.
    if (m_running || !OnTimer || TimerHold::active()) return;
    m_running = true;
    guard([this] { OnTimer(this); });
    m_running = false;
}

}  // namespace fw
