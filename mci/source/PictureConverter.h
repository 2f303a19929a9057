// Converting a decoded picture for the screen: in the colours the stream means, scaled to the
// size it is shown at, into memory laid out so that no converter writes or reads outside it.
//
// The scaler's fast paths write whole groups of pixels: on a line of exactly width x 4 bytes
// they write past the end of the picture, or leave its last columns unwritten, depending on the
// width. So a line is rounded up to 64 bytes (16 pixels, more than any group) and the picture
// ends in a tail of its own; nothing relies on a line holding only the picture's pixels.
//
// Pictures whose colours the scaler cannot show as meant (HDR transfers, BT.2020 primaries) go
// through ToneMapper first; everything else straight to the scaler, which honours the matrix
// and the range.
//
// Threads: any. Each thread keeps the scaler and the tone mapper of the last shape it met
// (playback converts every picture at one size and format, and setting either up costs as
// much as a conversion).
#pragma once

#include "FFmpegHandles.h"

#include <QImage>
#include <QSize>

#include <cstddef>
#include <cstdint>

namespace mci {

// How a converted picture of a size lies in memory (Format_RGB32).
struct ScreenLayout {
    int stride = 0;    // bytes a line: a multiple of 64
    size_t bytes = 0;  // the whole buffer, tail included: a multiple of 64
    // Empty (all 0) for an empty size.
    static ScreenLayout of(QSize size);
};

// A scaler made whole at once, its range and matrix included. Told them after it was made, a
// scaler may keep tables made for the defaults, and FFmpeg's cache of scalers takes a range told
// later for another shape: every picture then had a scaler made anew, and the first picture
// after a change came out in other colours than the rest. Source and destination share
// fullRange unless the destination is RGB (always full); matrix (SWS_CS_*) is the source's, used
// where YUV becomes RGB. threads: the scaler's own, which only sws_scale_frame() spreads over.
SwsContext* makeScaler(QSize from, int fromFormat, QSize to, int toFormat, int flags, bool fullRange, int matrix,
                       int threads = 1);

// Converts frame, scaled to target (its coded orientation), into destination laid out as
// ScreenLayout::of(target) says: every pixel of the picture is written, nothing outside the
// layout is touched. False when the picture cannot be converted (a pixel format the scaler
// does not take); destination's content is then undefined.
bool convertPicture(const AVFrame* frame, QSize target, uint8_t* destination, int stride);

// The same into memory of its own; a null image when it cannot be converted.
QImage convertedPicture(const AVFrame* frame, QSize target);

}  // namespace mci
