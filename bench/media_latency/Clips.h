// The clips the latency bench runs on: long-GOP H.264 with B-frames at two sizes, MPEG-1 in a
// program stream, MJPEG in AVI and a ten-minute H.264 file; 4K H.264 for playback and memory;
// two-hour files in three containers, copied from the ten-minute one, for opening. Every frame
// carries its number as a barcode (Barcode.h), so whatever a player shows can be named.
#pragma once

#include <QString>
#include <vector>

#include "MediaGenerator.h"

namespace bench {

// Which measures a clip is for (Measures.cpp keeps one list of measures per suite).
enum class Suite {
    Latency,  // seeks, steps, holding Back, playback, opens with the index cached
    Picture,  // a picture too large to convert for free: playback and memory
    Opening,  // a long file never opened before
};

// Which runs take a clip: every run, all but --quick, or only when --only names it.
enum class Selection { Quick, Full, Named };

struct Clip {
    QString name;  // for --only and the table
    Suite suite = Suite::Latency;
    Selection selection = Selection::Quick;
    fixtures::VideoSpec clipSpec;  // clipSpec.path is set by ensureClip
    // Made by copying the video stream of the clip of that name `copies` times over rather
    // than by encoding; clipSpec then names the container and what a player finds in it.
    QString copyOf;
    int copies = 0;

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
