#include "Clock.h"

#include "AudioOutput.h"

#include <algorithm>

namespace mci {

SteadyClock::SteadyClock() { m_timer.start(); }

qint64 SteadyClock::nowUs() const { return m_timer.nsecsElapsed() / 1000; }

PlaybackClock::PlaybackClock(const Clock& clock, const AudioOutput* audio)
    : m_clock(clock), m_audio(audio) {}

void PlaybackClock::start(qint64 mediaUs) {
    m_running = true;
    m_anchorMediaUs = mediaUs;
    m_anchorClockUs = m_clock.nowUs();
    m_lastUs = mediaUs;
}

void PlaybackClock::stop() {
    if (!m_running) return;
    m_lastUs = nowUs();
    m_running = false;
}

qint64 PlaybackClock::nowUs() {
    if (!m_running) return m_lastUs;
    const qint64 wall = m_clock.nowUs();
    qint64 t;
    if (const auto heard = m_audio ? m_audio->heardUs() : std::nullopt) {
        // Re-anchor on every reading, so that when the sound ends (or drops out) the monotonic
        // clock carries on from where the sound was.
        t = *heard;
        m_anchorMediaUs = t;
        m_anchorClockUs = wall;
    } else {
        t = m_anchorMediaUs + (wall - m_anchorClockUs);
    }
    m_lastUs = std::max(m_lastUs, t);
    return m_lastUs;
}

}  // namespace mci
