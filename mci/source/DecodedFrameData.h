// What a DecodedFrame holds: a reference to the decoder's picture. Only mci/ sources see it.
#pragma once

#include "FFmpegHandles.h"
#include "MediaSource.h"

namespace mci {

// How a stream's pictures are turned to be shown: the display matrix in its track header, which
// is how phones record upright video (landscape pictures with a quarter turn). Quarter turns and
// mirrors only; a matrix of any other angle or shape leaves the picture as it is coded.
struct Orientation {
    int quarterTurns = 0;   // clockwise, after the mirror
    bool mirrored = false;  // left and right swapped first

    bool isUpright() const { return quarterTurns == 0 && !mirrored; }
    bool swapsSides() const { return quarterTurns % 2 == 1; }
    QSize shown(QSize coded) const { return swapsSides() ? coded.transposed() : coded; }
    QImage apply(const QImage& coded) const;
};

Orientation orientationOf(const AVStream* stream);

struct DecodedFrame::Data {
    FramePtr frame;  // a reference of its own: the decoder may go on and reuse its pool
    int number = 0;
    qint64 ptsUs = 0;
    Orientation orientation;
};

}  // namespace mci
