#include "RestartedClock.h"

#include <algorithm>

namespace mci {

namespace {

// More packets than any of the codecs reorders across (FrameIndex's kLongestReorder), plus one:
// within a continuous run, some packet this far back is shown before any given one.
constexpr int kReorderWindow = 17;

}  // namespace

// From a full window on: at the start of a file cut in an open group of pictures, the pictures
// that refer to what was cut away lie below the keyframe before them.
bool clockGoesBack(const std::vector<PacketEntry>& packets)
{
    for (size_t i = kReorderWindow; i < packets.size(); ++i) {
        const qint64 t = packets[i].pts;
        if (t == kNoTime || !packets[i].shown)
            continue;
        bool below = false, compared = false;
        for (size_t j = i - kReorderWindow; j < i; ++j) {
            const PacketEntry& p = packets[j];
            if (p.pts == kNoTime || !p.shown)
                continue;
            compared = true;
            below = t < p.pts;
            if (!below)
                break;
        }
        if (compared && below)
            return true;
    }
    return false;
}

void continueClockThroughRestarts(std::vector<PacketEntry>& packets, const std::vector<int>& shownOrder,
                                  qint64 nominalTicks)
{
    // Runs, in decode order: a packet starts one where its time and its place in the order
    // disagree with a packet of the current run decoded shortly before it.
    std::vector<int> runOf(packets.size(), 0);
    int run = 0;
    size_t runStart = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        const PacketEntry& p = packets[i];
        if (shownOrder[i] >= 0 && p.pts != kNoTime) {
            for (size_t j = std::max(runStart, i - std::min<size_t>(i, kReorderWindow)); j < i; ++j) {
                if (shownOrder[j] < 0 || packets[j].pts == kNoTime)
                    continue;
                if ((shownOrder[j] < shownOrder[i]) != (packets[j].pts < p.pts)) {
                    ++run;
                    runStart = i;
                    break;
                }
            }
        }
        runOf[i] = run;
    }
    // The pictures as shown; each run's clock moved on by what came before its first picture.
    std::vector<size_t> shown;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (shownOrder[i] >= 0 && packets[i].pts != kNoTime)
            shown.push_back(i);
    }
    std::sort(shown.begin(), shown.end(), [&](size_t a, size_t b) { return shownOrder[a] < shownOrder[b]; });
    std::vector<qint64> offsets(size_t(run) + 1, kNoTime);
    offsets[size_t(runOf[shown.empty() ? 0 : shown.front()])] = 0;
    qint64 previous = kNoTime;
    qint64 previousDuration = 0;
    for (size_t i : shown) {
        PacketEntry& p = packets[i];
        qint64& offset = offsets[size_t(runOf[i])];
        if (offset == kNoTime)
            offset = previous + previousDuration - p.pts;
        const qint64 t = p.pts + offset;
        p.pts = previous == kNoTime ? t : std::max(t, previous + 1);
        previous = p.pts;
        previousDuration = p.duration > 0 ? p.duration : std::max<qint64>(nominalTicks, 1);
    }
}

}  // namespace mci
