// The video packets of an MPEG transport stream (188-byte packets, or 192-byte M2TS packets),
// read from the stream's own structure at the speed of the disk rather than through the
// demuxer, whose parser splits every byte.
//
// Each PES packet of the video PID is one access unit: its timestamps, the position of its
// first transport packet, and what the demuxer's parser reads from its headers (keyframe,
// repeated fields) give the packet exactly as the demuxer would, wrapped timestamps and
// resynchronisation after damage included. Anything the demuxer would read differently (a PES
// without timestamps, two access units in one PES, scrambled packets, codecs other than MPEG-1/2
// video and H.264, field pictures) makes the scan say CannotScan.
//
// Reads the file sequentially in large blocks and copies only the video PID's payloads; their
// access units are read on a second thread while the pass reads on. A large file is read in
// parts, on the machine's cores. Any thread; the demuxer is only looked at (the stream found at
// its open), never read from.
#pragma once

#include "ContainerScan.h"
#include "MediaSource.h"

#include <QString>

#include <cstddef>

namespace mci {

class Demuxer;

// Complete PES packets are handed to the second thread once they hold this many payload bytes:
// the threads meet a few hundred times for a two-hour file, not at every picture, and the
// batches in flight stay a few megabytes, memory that every open writes for the first time
// (larger ones made a two-hour file's scan a fifth slower).
inline constexpr size_t kPesBatchBytes = size_t(1) << 20;

// progress is called every megabyte with the fraction read; false cancels the scan. parts: read
// the file in this many parts at once; 0 for as many as the machine has cores, where the file
// is large enough.
ContainerScan scanTransportStream(const QString& path, const Demuxer& demuxer, const OpenProgress& progress,
                                  size_t batchBytes = kPesBatchBytes, int parts = 0);

}  // namespace mci
