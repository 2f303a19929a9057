// What a scan of a container's own structure finds, without the demuxer: every packet of the
// video stream, as the demuxer would give it (same order, timestamps, keyframe marks), but
// read from the container's headers and the first bytes of each picture only. An open that
// would otherwise read every byte of a file through the demuxer reads little more than the
// headers, at the speed of the disk.
//
// Each scanner returns CannotScan for anything it is not sure to read as the demuxer does; the
// open then reads the file through the demuxer as before.
#pragma once

#include "Demuxer.h"
#include "FrameIndex.h"
#include "LargePages.h"

#include <atomic>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

namespace mci {

struct ContainerScan {
    enum class Outcome { Done, CannotScan, Cancelled };
    Outcome outcome = Outcome::CannotScan;
    // In decode order; key = timeKey() of the stamp that identity names, kind and shown from
    // PictureHeaderReader over the picture's first bytes.
    std::vector<PacketEntry> packets;
    PacketIdentity identity = PacketIdentity::DecodeTime;
    // Each packet's size in bytes, where the container lists it: the demuxer's packets must
    // have the same, and the same positions.
    std::vector<int> sizes;
    // The scan stopped (CannotScan) where a clock that should run on went back (RestartedClock.h).
    bool clockGoesBack = false;
};

// Room for count packets in scan.packets, on large pages.
void reservePackets(ContainerScan& scan, size_t count);
// How many video packets the demuxer's guess of the file's length holds, and some; no more than
// the file has room for at leastBytes a packet, as that guess is read from a header. Room to
// reserve, which a scan grows past where the guess is short.
size_t expectedVideoPackets(const Demuxer& demuxer, qint64 fileBytes, qint64 leastBytes);

// What the passes over the parts of one file share: how far they have read between them, and
// whether the scan was cancelled.
struct ScanReading {
    ScanReading(const OpenProgress& progress, qint64 fileSize) : progress(progress), fileSize(fileSize) {}

    // Asks progress, from the calling thread only; false once the scan is cancelled.
    bool tell();

    const OpenProgress& progress;
    const qint64 fileSize;
    std::atomic<qint64> read = 0;
    std::atomic<bool> cancelled = false;
};

// How many parts a scan of a file of fileBytes is read in, each on a core of its own.
int partsToScan(qint64 fileBytes);
// Calls readPart(k) for every part k < count: the first here, each other on a thread of its own
// (or here, where no thread is to be had); calls tell every 50 ms while they finish, and once
// when they have. An exception of any part sets stop, which the others heed, and comes out here
// once they have stopped.
void readInParts(int count, const std::function<void(int)>& readPart, const std::function<void()>& tell,
                 std::atomic<bool>& stop);
// For joinedPartCount() (SourceCounters.h).
void countJoinedPart();

// H.264 with pictures held back, in a container that keeps no presentation times (AVI): the
// order they are shown in is read from every picture's slice headers.
bool orderIsInThePictures(const Demuxer& demuxer);

// How the demuxer's video stream keeps time, as its index needs to know.
StreamClock clockOf(const Demuxer& demuxer);

class SampleHeadsAhead;

// The frame index of a file not seen before, read the fastest way its container allows, and
// whether it is worth keeping (a container's table is read again faster than a kept index). On
// the way the demuxer may be opened anew. ahead: the samples of a movie file read while the
// demuxer opened it (SampleTable.h), or none.
struct IndexedFile {
    FrameIndex index;
    bool worthKeeping = true;
};
std::variant<IndexedFile, OpenFailure> indexFile(const QString& path, std::unique_ptr<Demuxer>& demuxer,
                                                 const OpenProgress& progress, SampleHeadsAhead* ahead = nullptr);

// Every packet of the video stream through the demuxer, in the order the file stores them,
// known by their bytes: what any file can be indexed by. Where a clock that should run on goes
// back in the middle, the presentation times are made to run on (RestartedClock.h), H.264 and
// HEVC ordered by their pictures' counts; a codec whose order cannot be read so is refused as
// damaged, since the container's times would number some frames wrongly. clockGoesBack: a scan
// of the container saw it go back, so the counts are gathered from the first packet (else the
// packets before the restart are read a second time when it shows); the outcome is the same.
std::variant<ContainerScan, OpenFailure> scanThroughDemuxer(Demuxer& demuxer, const OpenProgress& progress,
                                                           bool clockGoesBack = false);

// Whether the packets the demuxer gives at the start of the file and from its last keyframe to
// the end are those of the scan (their presentation times may differ by one constant, which
// the scan then takes on). Fills in what only the demuxer knows: how long the last lasts.
// Moves the demuxer; the reader seeks before it reads.
bool agreesWithDemuxer(ContainerScan& scan, Demuxer& demuxer);

}  // namespace mci
