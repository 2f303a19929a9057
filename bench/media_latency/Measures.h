// The measures of one clip, run on our player and the peer in turn for every target (ours on
// target i, then the peer on target i), so that both see the same targets under the same load.
#pragma once

#include <vector>

#include "Clips.h"
#include "Player.h"
#include "Table.h"

namespace bench {

struct Settings {
    int targets = 24;         // random targets per measure
    int holdRuns = 3;         // runs of holding Back
    int holdSteps = 60;       // back steps per run
    double playSeconds = 20;  // playback per CPU sample
    int reopens = 5;          // opens with the index cached
    unsigned seed = 20261208u;
};

// The rows of one clip; peer may be null (ours only). Both players have the clip open.
std::vector<Row> measureClip(const Clip& clip, Player& ours, Player* peer,
                             const Settings& settings);

}  // namespace bench
