// Long files made from a short one without encoding: the video stream copied packet by packet,
// as a remuxing tool does, so a two-hour file takes seconds to write rather than hours.
// The only place in the bench that speaks to libavformat itself.
#pragma once

#include <QString>

namespace bench {

// Writes the video stream of `from` into `to` `copies` times over, with the muxer named (for
// example "mp4", "matroska", "mpegts"). Every copy's timestamps continue where the one before
// ended, so the result is one continuous stream `copies` times as long. False with a reason.
bool writeCopies(const QString& from, const QString& to, const char* muxer, int copies,
                 QString* error);

}  // namespace bench
