// Files whose container clock goes back in the middle, where the container has no notion of it
// (Matroska, MP4 fragments, FLV, Ogg): tools that cut and join without re-encoding leave them,
// and other players play them in the order the file holds them.
//
// A decoder shows the pictures in the order their own headers give, whatever the container's
// times say; across a restart those times no longer tell that order (a group of pictures may
// reach across it, so pictures decoded before the restart are shown after some decoded after
// it). Such a file is numbered in the order the decoder shows its pictures, and timed in runs,
// each run of the container's clock starting where the pictures before it ended.
//
// Pure functions; any thread.
#pragma once

#include "FrameIndex.h"

#include <vector>

namespace mci {

// More packets than any of the codecs reorders across (FrameIndex's kLongestReorder), plus one:
// within a continuous run, some packet this far back is shown before any given one.
inline constexpr int kReorderWindow = 17;

// Whether some presentation time, in decode order, lies below every one of the packets decoded
// just before it: deeper than any decoder reorders, so the clock went back. A restart among the
// first few packets goes unseen.
bool clockGoesBack(const std::vector<PacketEntry>& packets);
// The same for the packet at, from it and the packets before it: clockGoesBack is true when it
// is for some packet, so a reading can see the restart as it reaches it.
bool clockGoesBackAt(const std::vector<PacketEntry>& packets, size_t at);

// Gives every shown packet a presentation time on one clock that runs on through the restarts.
// shownOrder: for each packet its place among the shown pictures in the order the decoder gives
// them out (-1 for the others). A packet belongs to the run of the packets decoded before it
// unless its time contradicts the order of one of them; a run's first picture shown comes a
// frame (its predecessor's duration, else nominalTicks) after the picture shown before it.
void continueClockThroughRestarts(std::vector<PacketEntry>& packets, const std::vector<int>& shownOrder,
                                  qint64 nominalTicks);

}  // namespace mci
