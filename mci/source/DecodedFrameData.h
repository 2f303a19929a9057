// What a DecodedFrame holds: a reference to the decoder's picture. Only mci/ sources see it.
#pragma once

#include "FFmpegHandles.h"
#include "MediaSource.h"

namespace mci {

struct DecodedFrame::Data {
    FramePtr frame;  // a reference of its own: the decoder may go on and reuse its pool
    int number = 0;
    qint64 ptsUs = 0;
};

}  // namespace mci
