// What the playing half needs from an opened file: its facts, frame times, exact pictures and a
// sound stream. MediaSource is adapted to it in SourceAdapter; tests give a fake, so playback,
// notifications and picture handling are checked without decoding.
//
// Threads: one thread at a time (the opening thread, then the device's decode worker; openAudio
// is called once right after the open, before the worker starts), except cachedPicture and
// frameFacts, which any thread may call at any time. A Picture is immutable and may be converted on any thread.
#pragma once

#include "MediaSource.h"

#include <QImage>
#include <QSize>

#include <functional>
#include <memory>
#include <variant>

namespace mci {

class Picture {
public:
    virtual ~Picture() = default;
    virtual int number() const = 0;
    // Scaled to target with a good filter; a null image when target is empty.
    virtual QImage toImage(QSize target) const = 0;
};

class PlaybackSource {
public:
    virtual ~PlaybackSource() = default;
    virtual const MediaInfo& info() const = 0;
    // As MediaSource: n in 0..frameCount, frameCount giving the end.
    virtual qint64 frameStartUs(int n) const = 0;
    // Frame n's picture as the file's index knows it; never decodes. Any thread.
    virtual FrameFacts frameFacts(int n) const { return {}; }
    // Exactly frame n; nullptr when out of range or the file can no longer be read.
    virtual std::shared_ptr<const Picture> picture(int n) = 0;
    // Frame n when it is decoded already; never decodes. Any thread.
    virtual std::shared_ptr<const Picture> cachedPicture(int n) const { return nullptr; }
    // Decodes ahead of a user at frame `at` travelling in `direction` (+1 or -1); returns as
    // soon as stop() answers true. A source without a cache has nothing to do.
    virtual void prefetch(int at, int direction, const std::function<bool()>& stop) {}
    // A sound stream in the given format; nullptr without sound.
    virtual std::unique_ptr<AudioStream> openAudio(int sampleRate, int channels) = 0;
};

using SourceOpenResult = std::variant<std::unique_ptr<PlaybackSource>, OpenFailure>;

}  // namespace mci
