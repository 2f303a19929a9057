#include "Timeline.h"

#include "PlaybackSource.h"

#include <algorithm>

namespace mci {

namespace {
constexpr qint64 kSoundFramesPerSecond = 30;
}

Timeline::Timeline(const PlaybackSource& source)
    : m_hasVideo(source.info().hasVideo),
      m_frameCount(std::max(0, source.info().frameCount)),
      m_durationUs(std::max<qint64>(0, source.info().durationUs)) {
    if (!m_hasVideo) return;
    m_starts.reserve(size_t(m_frameCount) + 1);
    for (int n = 0; n <= m_frameCount; ++n) m_starts.push_back(source.frameStartUs(n));
    // Copied with the times, so that the frame information answers as cheaply as a position.
    m_facts.reserve(size_t(m_frameCount));
    for (int n = 0; n < m_frameCount; ++n) m_facts.push_back(source.frameFacts(n));
}

FrameFacts Timeline::factsOf(int n) const {
    if (m_facts.empty()) return {};
    return m_facts[size_t(std::clamp(n, 0, int(m_facts.size()) - 1))];
}

qint64 Timeline::startUs(int n) const {
    n = std::clamp(n, 0, m_frameCount);
    if (m_hasVideo) return m_starts[size_t(n)];
    // The last sound "frame" is cut short by the end of the sound.
    return std::min(qint64(n) * 1000000 / kSoundFramesPerSecond, m_durationUs);
}

int Timeline::frameAt(qint64 t) const {
    if (m_frameCount == 0) return 0;
    if (!m_hasVideo) {
        // Round up first: the frame whose start, as startUs rounds it, is at or before t.
        const qint64 n = (t * kSoundFramesPerSecond + kSoundFramesPerSecond - 1) / 1000000;
        int frame = int(std::clamp<qint64>(n, 0, m_frameCount - 1));
        while (frame > 0 && startUs(frame) > t) --frame;
        return frame;
    }
    const auto after = std::upper_bound(m_starts.begin(), m_starts.begin() + m_frameCount, t);
    return std::clamp(int(after - m_starts.begin()) - 1, 0, m_frameCount - 1);
}

}  // namespace mci
