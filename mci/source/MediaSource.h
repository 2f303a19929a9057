// The reading half of the media service: opens a media file, learns where every video frame is
// and hands out exactly the n-th frame in presentation order, plus a linear audio decoder.
//
// Frame numbers are exact whatever the container, codec, B-frames or variable frame rate: at
// open the source builds (or reads back from the user's cache folder) an index of every video
// frame's presentation time, and every decoded picture is identified by its timestamp through
// that index, never by counting decoder output after a seek.
//
// Threads: nothing here touches widgets, and a source may be opened on any thread (long opens
// run on a worker). info(), frameStartUs(), frameAtUs(), frameFacts() and cachedFrame() may be called from
// any thread at any time, also while another thread is in frame(); frame() and prefetch() are
// for one thread at a time. An AudioStream is independent of its source (its own file
// handle and decoder), may outlive it and is used by one thread at a time. A DecodedFrame is
// immutable and may be shared across threads. A file's new index is written to the cache
// folder on a thread of the source's own after the open returns; destroying the source waits
// for that (a tenth of a second for a two-hour file).
//
// Shape: Demuxer (the container) feeds a FrameIndex built at open or read back from the
// IndexCache; FrameReader seeks and decodes with a VideoDecoder into a FrameCache of recent
// pictures; AudioDecoder is the sound.
// FFmpeg's headers stay in those files; its error codes become ours in FFmpegError.cpp only.
#pragma once

#include "Mci.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <variant>

namespace mci {

// Why an open failed: an MCI error code plus a Japanese text that says which (missing file,
// unreadable, empty, truncated, not a media file, cancelled, too large a picture...). The
// codes and their generic texts are in SourceErrors.h.
struct OpenFailure {
    MCIERROR code = MCIERR_INVALID_FILE;
    QString text;
};

struct MediaInfo {
    bool hasVideo = false;
    bool hasAudio = false;
    // Video frames in presentation order; for sound-only files the length at 30 frames a
    // second (ceil of duration * 30).
    int frameCount = 0;
    // Display size with the sample aspect ratio and the display matrix's turn applied (portrait
    // phone video stands upright); empty without video.
    QSize naturalSize;
    qint64 durationUs = 0;
    // Video: the stream's clock at frame 0, so that frame times read as the stream gives them.
    qint64 firstPtsUs = 0;
    // Video: the stream's nominal frame rate (0/0 when it names none), and whether its frames
    // last differently (a variable-rate recording).
    int rateNum = 0;
    int rateDen = 0;
    bool variableRate = false;
};

// What the index knows of one video frame, no decoding needed.
struct FrameFacts {
    char pictureType = 0;  // 'I', 'P' or 'B'; 0 without video
    bool keyframe = false;
};

// Called on the opening thread from time to time during a long open, with the fraction done
// (0..1); return false to cancel the open, which then fails with MCIERR_SOURCE_CANCELLED.
using OpenProgress = std::function<bool(double fraction)>;

// A decoded picture, still in the decoder's pixel format; it is converted only at the size it
// is shown, because colour conversion costs more than decoding.
class DecodedFrame {
public:
    struct Data;  // the decoder's picture; defined where FFmpeg is visible
    explicit DecodedFrame(std::unique_ptr<Data> data);
    ~DecodedFrame();
    DecodedFrame(const DecodedFrame&) = delete;
    DecodedFrame& operator=(const DecodedFrame&) = delete;

    int number() const;     // frame number in presentation order
    qint64 ptsUs() const;   // presentation time from the start of the file
    // The memory of every decoded picture alive in the program, wherever it is held.
    static qint64 bytesAlive();

    QSize size() const;     // coded picture size (before the sample aspect ratio and any turn)
    QSize shownSize() const;  // with its own sample aspect ratio and its stream's turn applied
    qint64 bytes() const;   // memory the picture holds
    // Turned as the stream says it is shown and scaled to target (the size shown) with a good
    // filter, Format_RGB32; a null image when target is empty.
    QImage toImage(QSize target) const;

    // How toImage lays a picture of a size out in memory: lines rounded up and a tail after the
    // last, since the converters write whole groups of pixels.
    struct Layout {
        int stride = 0;
        qint64 bytes = 0;
    };
    static Layout layoutOf(QSize target);
    // toImage's conversion, not turned, into memory the caller owns, laid out as layoutOf(target)
    // says: for those who keep pictures in memory of their own (and tests that guard it). False
    // when the picture cannot be converted.
    bool convertInto(QSize target, uchar* destination, int stride) const;

private:
    std::unique_ptr<Data> m_data;
    qint64 m_bytes = 0;
};

// A linear audio decoder resampled to interleaved float samples. Separate from the video path
// (its own demuxer), so sound and picture never wait on each other.
class AudioStream {
public:
    virtual ~AudioStream() = default;
    // The next read starts exactly at time t (clamped to the start); false when the file could
    // not be sought (the stream then reads from where it was).
    virtual bool seekUs(qint64 t) = 0;
    // Writes up to frames sample frames (interleaved); returns the number written, 0 at the end
    // of the stream or when the file became unreadable.
    virtual int read(float* out, int frames) = 0;
    // Makes a read() in progress on another thread return soon, and every read() after it
    // return 0, until the next seekUs(). Any thread.
    virtual void interrupt() {}
    virtual int sampleRate() const = 0;
    virtual int channels() const = 0;
};

class MediaSource {
public:
    // A working source or the reason there is none. progress may be empty. Throws nothing: an
    // allocation that fails on the way is MCIERR_OUT_OF_MEMORY.
    static std::variant<std::unique_ptr<MediaSource>, OpenFailure>
    open(const QString& path, const OpenProgress& progress);

    virtual ~MediaSource() = default;

    virtual const MediaInfo& info() const = 0;
    // Presentation time of frame n from the start (n in 0..frameCount; frameCount gives the
    // end of the last frame). For sound-only files frames are 1/30 s.
    virtual qint64 frameStartUs(int n) const = 0;
    // The frame shown at time t, clamped to 0..frameCount-1.
    virtual int frameAtUs(qint64 t) const = 0;
    // Frame n's picture as the index knows it (n in 0..frameCount-1); empty without video.
    // Any thread, like frameStartUs().
    virtual FrameFacts frameFacts(int n) const { return {}; }
    // Exactly the n-th frame in presentation order (n in 0..frameCount-1). Sequential requests
    // n, n+1, ... continue decoding without a seek; other requests seek to a keyframe before n
    // and decode forward. nullptr when n is out of range, the file has no video, or the file
    // can no longer be read (deleted or truncated while open).
    virtual std::shared_ptr<const DecodedFrame> frame(int n) = 0;
    // Frame n when it is decoded already (kept from an earlier request or decoded ahead);
    // never decodes. Any thread, also while another is in frame() or prefetch().
    virtual std::shared_ptr<const DecodedFrame> cachedFrame(int n) const = 0;
    // Decodes ahead of a user at frame `at` travelling in `direction` (+1 forward, -1 back), so
    // that the next steps find their frames decoded. Returns as soon as stop() answers true
    // (asked between pictures). Same thread rule as frame().
    virtual void prefetch(int at, int direction, const std::function<bool()>& stop) = 0;
    // A separate linear audio decoder resampled to the given interleaved float format; nullptr
    // without audio or when the file can no longer be opened.
    virtual std::unique_ptr<AudioStream> openAudio(int sampleRate, int channels) = 0;
};

}  // namespace mci
