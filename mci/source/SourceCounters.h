// Counts of the expensive things the media source does, for tests and benchmarks that must tell
// a cache hit or a seek-free read from the other kind without timing anything.
//
// Any thread; the counts are process-wide and only ever grow.
#pragma once

namespace mci {

// Index passes over a file (a cache hit makes none).
int indexPassCount();
// Parts of a file, read on a core of their own, that a scan joined to the part before (a scan
// read in one pass joins none).
int joinedPartCount();
// Times a frame request restarted decoding at a keyframe (reading on makes none).
int decoderSeekCount();
// Pictures the video decoders gave out (a cached frame costs none).
int decodedFrameCount();
// Pictures a video decoder wrote past the end of, found when they were let go: 0 unless a
// decoder misbehaves on some input.
int pictureOverrunCount();

}  // namespace mci
