// What the bench asks of a player, so that the same targets run on ours and on the peer in turn.
// Every call blocks until the player has done what was asked (the picture is there) and says
// how long that took and which frame it then shows. Called on the UI thread only.
#pragma once

#include "Clips.h"
#include "ProcessStats.h"

namespace bench {

struct Outcome {
    bool ok = false;
    double ms = 0;   // wall time of the request, steady clock
    int frame = -1;  // frame shown afterwards, -1 when unknown
};

struct PlayRun {
    bool ok = false;
    double cpuPerMinute = 0;  // CPU seconds (user + system) per 60 s of playback
    int skipped = -1;         // frames never shown, -1 when the player cannot tell
    int late = -1;            // frames shown late, likewise
};

class Player {
public:
    virtual ~Player() = default;

    // Opens the clip (untimed: the first open may index the file) paused on frame 0.
    virtual bool open(const Clip& clip, QString* error) = 0;
    virtual void close() = 0;
    virtual Outcome seek(int frame) = 0;
    virtual Outcome stepBack() = 0;
    virtual Outcome stepForward() = 0;
    // Leaves the player paused for a while, free to work ahead.
    virtual void idle(int ms) = 0;
    // Plays from frame 0 for the given time, then pauses.
    virtual PlayRun play(double seconds) = 0;
    // Closes and opens the same clip again, timed until its first picture is there.
    virtual Outcome reopen() = 0;
    // Closes, then opens the clip as a file never opened before (ours: with no index kept from
    // an earlier open), timed until its first picture is there.
    virtual Outcome openNew(const Clip& clip) = 0;
    // Puts the picture at scale times its natural size.
    virtual bool putPicture(double scale) = 0;

    // Peak resident memory of the whole program in MB since resetPeakMemory (ours: less what
    // the bench held before the last open), -1 when the kernel does not tell.
    virtual void resetPeakMemory() = 0;
    virtual double peakMemoryMB() const = 0;
    // What the program has read so far (for the bytes read by an open).
    virtual ReadCounts readCounts() const = 0;
    // The process that decodes, for limiting the cores it may run on.
    virtual qint64 processId() const = 0;
    // Whether a shown frame is the one asked for (a barcode names frames modulo its limit).
    virtual bool isFrame(int shown, int expected) const { return shown == expected; }
};

}  // namespace bench
