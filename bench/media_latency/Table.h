// The bench's results: one row per clip and measure with both players' samples, summarised as
// median, p90 and count, and printed as one table with the ratio ours / peer.
#pragma once

#include <QString>
#include <cstdio>
#include <vector>

namespace bench {

struct Samples {
    std::vector<double> values;
    int wrong = 0;     // frames shown that were not the frame asked for
    bool any = false;  // the player took part (a run that failed has none)
};

struct Row {
    QString clip;
    QString measure;
    // Rates (steps per second) are better high; for them p90 is the rate 90 % of samples reach.
    bool higherIsBetter = false;
    bool countsFrames = true;  // whether the wrong-frame column means anything for this measure
    Samples ours;
    Samples peer;
};

struct Summary {
    double median = 0;
    double p90 = 0;
    int n = 0;
};

// Median and the 90th percentile on the slow side (nearest rank); n = 0 when empty.
Summary summarize(std::vector<double> values, bool higherIsBetter);

// Prints the header, one line per row and a short legend; withPeer false leaves the peer
// columns out.
void printTable(const std::vector<Row>& rows, bool withPeer, std::FILE* out);

}  // namespace bench
