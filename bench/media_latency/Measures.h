// The measures of one clip, run on our player and the peer in turn for every target (ours on
// target i, then the peer on target i), so that both see the same targets under the same load.
// Which measures a clip gets follows from its suite (Clips.h).
#pragma once

#include <QStringList>
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
    int reopens = 5;          // opens with the index cached, and of each never-seen file
    int pictureRuns = 3;      // plays of a Picture clip at each size
    QStringList measures;     // names (measureNames) to run; empty runs every one
    unsigned seed = 20261208u;
};

// The names of the measures, for --measures.
QStringList measureNames();

// The rows of one clip; peer may be null (ours only). Both players have the clip open.
std::vector<Row> measureClip(const Clip& clip, Player& ours, Player* peer,
                             const Settings& settings);

}  // namespace bench
