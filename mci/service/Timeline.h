// The times of a device's frames, copied once at open so that status reads and the presenter
// answer on the UI thread without touching the source (which belongs to the decode worker).
// Immutable after construction; may be read on any thread.
#pragma once

#include "MediaSource.h"

#include <vector>

namespace mci {

class PlaybackSource;

class Timeline {
public:
    explicit Timeline(const PlaybackSource& source);

    bool hasVideo() const { return m_hasVideo; }
    int frameCount() const { return m_frameCount; }
    // Start of frame n (0..frameCount; frameCount is the end of the medium).
    qint64 startUs(int n) const;
    qint64 endUs() const { return startUs(m_frameCount); }
    // The frame shown at time t, clamped to 0..frameCount-1 (0 for an empty medium).
    int frameAt(qint64 t) const;
    // Frame n's picture as the index knows it, clamped like startUs; empty without video.
    FrameFacts factsOf(int n) const;

private:
    bool m_hasVideo = false;
    int m_frameCount = 0;
    qint64 m_durationUs = 0;
    std::vector<qint64> m_starts;  // video only; sound-only files count 30 frames a second
    std::vector<FrameFacts> m_facts;  // video only, one per frame
};

}  // namespace mci
