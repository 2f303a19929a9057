// The real file source behind the playing half: MediaSource seen as a PlaybackSource.
#pragma once

#include "PlaybackSource.h"

namespace mci {

// Opens path with MediaSource; progress as MediaSource::open. Any thread.
SourceOpenResult openMediaFile(const QString& path, const OpenProgress& progress);

}  // namespace mci
