// The video packets of a Matroska or WebM file, read from its block headers instead of through
// the demuxer: each block names its track, its time within its cluster and whether it is a
// keyframe, and says how long it is, so everything but the video frames is passed over by its
// size. A video frame's bytes are read whole, though only its first units are looked at: the
// picture header reader takes a frame of length-prefixed units as damaged when they do not fill
// it, and its first 4 kB do not.
//
// The packets are those the demuxer would give, with the same times, positions, durations and
// keyframe marks (the demuxer's codec parser marks more keyframes than some files do, and the
// scan asks the same parser). It gives up (CannotScan) wherever that is not sure: laced,
// compressed or encrypted video, a track that shifts or scales its times, a cluster without a
// time, a codec whose decode times the demuxer guesses otherwise (MPEG-1/2/4 pictures held
// back), tracks the demuxer does not make streams of, anything damaged or that cannot be
// followed. The open then reads the file through the demuxer.
//
// One thread at a time; a large file is read in parts on threads of their own. Reads the file on
// its own; the demuxer is only asked about its streams.
#pragma once

#include "ContainerScan.h"
#include "MediaSource.h"

#include <QString>

namespace mci {

class Demuxer;

// How much of the file is read at a time: small enough that the blocks are looked at while what
// was read is still in the processor's cache (reads of 4 MB made a part's scan a sixth slower).
inline constexpr qint64 kMatroskaReadBytes = 512 << 10;

// demuxer: the file opened, its streams found. progress, when set, is asked every readBytes of
// the file with the fraction read; false cancels the scan. readBytes: tests read in small steps
// to reach what only large files do. parts: how many parts, each on a thread of its own, the
// clusters are read in where the codec allows it; 0 for as many as the file's size is worth.
ContainerScan scanMatroska(const QString& path, const Demuxer& demuxer, const OpenProgress& progress,
                           qint64 readBytes = kMatroskaReadBytes, int parts = 0);

}  // namespace mci
