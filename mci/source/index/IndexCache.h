// What a long open learns about a file (its FrameIndex), kept in the user's cache folder so the
// next open of the same file skips the pass over it.
//
// Entries live in $XDG_CACHE_HOME/tavolen/ (~/.cache/tavolen/ when unset), one file per media
// file, named by a hash of its absolute path. An entry is used only when the path, size and
// modification time still match and its checksum holds; anything else is rebuilt. Writes go to
// a temporary file that is renamed into place, so a reader never sees half an entry.
//
// Any thread; two processes writing the same entry leave one complete entry.
#pragma once

#include "FrameIndex.h"

#include <QString>

#include <optional>

namespace mci {

namespace IndexCache {

QString directory();
// The entry file for a media file (whether or not it exists).
QString entryPath(const QString& mediaPath);
// The stored index of the file's video stream, when still valid.
std::optional<FrameIndex> load(const QString& mediaPath, int streamIndex);
// Stores it; false when the cache folder cannot be written (the open still succeeds).
bool store(const QString& mediaPath, int streamIndex, const FrameIndex& index);

}  // namespace IndexCache

}  // namespace mci
