// The frame index from a container's own table of its samples, without reading a frame.
//
// MP4/MOV list every sample (decode time, size, position, sync flag) in their movie header,
// and AVI every chunk in its index; the demuxer reads those tables when the file opens. The
// presentation time of an MP4 sample adds its composition offset, which the demuxer keeps to
// itself: it is read here from the track's own table. Any sample may hold no picture (a
// damaged access unit): the first bytes of every one are read, as the reading through looks
// at them, which for a long file of small samples is most of the file.
//
// Fragmented MP4 (no complete table), compressed movie headers, edit lists of more than one
// segment, and AVI whose pictures' order follows from their kinds (MPEG with B-pictures) or
// their slice headers (H.264 with pictures held back) give CannotScan: those files are read
// through. The result names packets by their decode time; the open checks it against the
// packets the demuxer gives before it trusts it.
//
// One thread at a time; reads the file, on threads of its own, but does not move the demuxer.
#pragma once

#include "ContainerScan.h"
#include "Demuxer.h"

#include <QString>

namespace mci {

// Cancelled where progress answers false, which it is asked on the calling thread.
ContainerScan readSampleTable(const QString& path, const Demuxer& demuxer, const OpenProgress& progress);

}  // namespace mci
