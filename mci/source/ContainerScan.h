// What a scan of a container's own structure finds, without the demuxer: every packet of the
// video stream, as the demuxer would give it (same order, timestamps, keyframe marks), but
// read from the container's headers and the first bytes of each picture only. An open that
// would otherwise read every byte of a file through the demuxer reads little more than the
// headers, at the speed of the disk.
//
// Each scanner returns CannotScan for anything it is not sure to read as the demuxer does; the
// open then reads the file through the demuxer as before.
#pragma once

#include "FrameIndex.h"

#include <vector>

namespace mci {

struct ContainerScan {
    enum class Outcome { Done, CannotScan, Cancelled };
    Outcome outcome = Outcome::CannotScan;
    // In decode order; key = timeKey() of the stamp that identity names, kind and shown from
    // PictureHeaderReader over the picture's first bytes.
    std::vector<PacketEntry> packets;
    PacketIdentity identity = PacketIdentity::DecodeTime;
};

}  // namespace mci
