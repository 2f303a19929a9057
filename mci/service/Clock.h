// Time for playback: a monotonic source (Clock) and the media time of a playing device
// (PlaybackClock), which follows the sound card while sound is heard and the monotonic clock
// otherwise.
#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

namespace mci {

class AudioOutput;

// A monotonic time source in microseconds. The product uses SteadyClock; tests drive a manual
// one so that presentation can be checked without waiting. nowUs may be called on any thread.
class Clock {
public:
    virtual ~Clock() = default;
    virtual qint64 nowUs() const = 0;
};

class SteadyClock final : public Clock {
public:
    SteadyClock();
    qint64 nowUs() const override;

private:
    QElapsedTimer m_timer;
};

// Media time of one playback run. Follows the audio output's heard position while it reports
// one (so picture follows sound), and otherwise runs on the monotonic clock from the last time
// it knew. It never goes backwards within a run, so a frame once shown stays shown.
// UI thread only. The clock and the audio output are not owned and outlive this object.
class PlaybackClock {
public:
    PlaybackClock(const Clock& clock, const AudioOutput* audio);

    void start(qint64 mediaUs);  // a run begins at mediaUs
    void stop();                 // freezes at the current time
    bool running() const { return m_running; }
    qint64 nowUs();

private:
    const Clock& m_clock;
    const AudioOutput* m_audio;
    bool m_running = false;
    qint64 m_anchorMediaUs = 0;
    qint64 m_anchorClockUs = 0;
    qint64 m_lastUs = 0;
};

}  // namespace mci
