// The clips the latency bench runs on: long-GOP H.264 with B-frames at two sizes, MPEG-1 in a
// program stream, MJPEG in AVI and a ten-minute H.264 file; 4K H.264 for playback and memory.
// Every frame carries its number as a barcode (Barcode.h), so whatever a player shows can be
// named.
#pragma once

#include <QString>
#include <vector>

#include "MediaGenerator.h"

namespace bench {

// Which measures a clip is for (Measures.cpp keeps one list of measures per suite).
enum class Suite {
    Latency,  // seeks, steps, holding Back, playback, opens with the index cached
    Picture,  // a picture too large to convert for free: playback and memory
};

// Which runs take a clip: every run, or all but --quick.
enum class Selection { Quick, Full };

struct Clip {
    QString name;  // for --only and the table
    Suite suite = Suite::Latency;
    Selection selection = Selection::Quick;
    fixtures::VideoSpec clipSpec;  // clipSpec.path is set by ensureClip

    int frames() const { return clipSpec.frames; }
    double fps() const { return double(clipSpec.fpsNum) / clipSpec.fpsDen; }
    int gop() const { return clipSpec.codec == fixtures::VideoCodec::Mjpeg ? 1 : clipSpec.gop; }
};

// Every clip the bench knows, in the order the table lists them.
std::vector<Clip> benchClips();

// Points clip.clipSpec.path into dir and writes the file there unless a complete one is already
// present; false with a reason when it cannot be written.
bool ensureClip(Clip& clip, const QString& dir, QString* error);

}  // namespace bench
