// What the kernel counts for the process that does a player's work (ours: the bench itself, pid
// 0 here; the peer: its mpv process), and the page cache of a clip, for the memory and open rows.
// Everything reads /proc; a value the kernel does not give is -1 (or false), never a guess.
#pragma once

#include <QString>

namespace bench {

// Bytes a process has read since it started: all it asked read() for (rchar, page cache or
// not) and what had to come from storage (read_bytes).
struct ReadCounts {
    qint64 chars = -1;
    qint64 disk = -1;
};

qint64 residentKB(qint64 pid);      // VmRSS
qint64 peakResidentKB(qint64 pid);  // VmHWM
// Lowers the high-water mark to what is resident now; false where the kernel refuses.
bool resetPeakResident(qint64 pid);
ReadCounts readCounts(qint64 pid);

// Reads the whole file once, so that the next open finds it in the page cache.
bool readThrough(const QString& path);
// The same in `parts` stretches side by side, each on a thread of its own in reads of 1 MB, as
// an index pass over a file that lists no frames reads it: the milliseconds it took, or -1
// where the file could not be read. What no such pass can take less than on this machine.
double readThroughInParts(const QString& path, int parts);
// Asks the kernel to drop the file from the page cache; true only when at most a hundredth of
// it is still cached afterwards (where the advice is ignored, nothing can be measured cold).
bool dropFromPageCache(const QString& path);

}  // namespace bench
