#include "RestartedClock.h"

#include <algorithm>

namespace mci {

namespace {

// The run of the clock each packet belongs to, in decode order: a packet starts a new one where
// its time and its place in the order disagree with a packet of the current run decoded
// shortly before it.
std::vector<int> runsOf(const std::vector<PacketEntry>& packets, const std::vector<int>& shownOrder)
{
    std::vector<int> runOf(packets.size(), 0);
    int run = 0;
    size_t runStart = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (shownOrder[i] >= 0 && packets[i].pts != kNoTime) {
            for (size_t j = std::max(runStart, i - std::min<size_t>(i, kReorderWindow)); j < i; ++j) {
                if (shownOrder[j] < 0 || packets[j].pts == kNoTime)
                    continue;
                if ((shownOrder[j] < shownOrder[i]) != (packets[j].pts < packets[i].pts)) {
                    ++run;
                    runStart = i;
                    break;
                }
            }
        }
        runOf[i] = run;
    }
    return runOf;
}

}  // namespace

// From a full window on: at the start of a file cut in an open group of pictures, the pictures
// that refer to what was cut away lie below the keyframe before them.
bool clockGoesBackAt(const std::vector<PacketEntry>& packets, size_t at)
{
    const qint64 t = packets[at].pts;
    if (at < size_t(kReorderWindow) || t == kNoTime || !packets[at].shown)
        return false;
    bool below = false, compared = false;
    for (size_t j = at - kReorderWindow; j < at; ++j) {
        const PacketEntry& p = packets[j];
        if (p.pts == kNoTime || !p.shown)
            continue;
        compared = true;
        below = t < p.pts;
        if (!below)
            break;
    }
    return compared && below;
}

bool clockGoesBack(const std::vector<PacketEntry>& packets)
{
    for (size_t i = kReorderWindow; i < packets.size(); ++i) {
        if (clockGoesBackAt(packets, i))
            return true;
    }
    return false;
}

void continueClockThroughRestarts(std::vector<PacketEntry>& packets, const std::vector<int>& shownOrder,
                                  qint64 nominalTicks)
{
    const std::vector<int> runOf = runsOf(packets, shownOrder);
    std::vector<size_t> shown;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (shownOrder[i] >= 0)
            shown.push_back(i);
    }
    std::sort(shown.begin(), shown.end(), [&](size_t a, size_t b) { return shownOrder[a] < shownOrder[b]; });
    // Each run's clock moved on by what was shown before its first picture; a picture without a
    // time comes a frame after the one before it.
    std::vector<qint64> offsets(packets.empty() ? 0 : size_t(runOf.back()) + 1, kNoTime);
    qint64 previous = kNoTime;
    qint64 previousDuration = 0;
    for (size_t i : shown) {
        PacketEntry& p = packets[i];
        const qint64 next = previous == kNoTime ? 0 : previous + previousDuration;
        qint64& offset = offsets[size_t(runOf[i])];
        if (p.pts != kNoTime && offset == kNoTime)
            offset = previous == kNoTime ? 0 : next - p.pts;
        const qint64 t = p.pts != kNoTime ? p.pts + offset : next;
        p.pts = previous == kNoTime ? t : std::max(t, previous + 1);
        previous = p.pts;
        previousDuration = p.duration > 0 ? p.duration : std::max<qint64>(nominalTicks, 1);
    }
}

}  // namespace mci
