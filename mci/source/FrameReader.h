// Exact access to the n-th frame of a video stream: seeks to the keyframe that governs it,
// decodes forward and recognises every decoded picture by the packet it came from (FrameIndex).
//
// After a seek the container may land early (MP4 seeks by presentation time, so a keyframe's
// decode time finds the keyframe before it) or, rarely, late. Packets are therefore read
// without decoding until the expected keyframe's packet arrives, recognised by its key; a late
// landing is seen at the first packet beyond it and retried another way. So a request decodes
// at most the frames from its keyframe to the target, plus what the decoder reorders; a jump
// leaves out of decoding the pictures before its target that nothing refers to (never given
// out, so never a frame), where the codec allows it (VideoDecoder).
//
// Every picture decoded on the way is kept in the FrameCache, so a back step within the span
// just decoded, or a step onto a frame decoded ahead, costs no decoding.
//
// One thread at a time. Owns its demuxer and decoder; reads the index and fills the cache it
// was given, which must outlive it.
#pragma once

#include "DecodedFrameData.h"
#include "Demuxer.h"
#include "FrameCache.h"
#include "FrameIndex.h"
#include "MediaSource.h"
#include "VideoDecoder.h"

#include <functional>
#include <memory>

namespace mci {

class FrameReader {
public:
    using StopCheck = std::function<bool()>;

    FrameReader(std::unique_ptr<Demuxer> demuxer, std::unique_ptr<VideoDecoder> decoder, const FrameIndex& index,
                FrameCache& cache);

    // Frame n (0..frameCount-1), or nullptr when it cannot be decoded (the file changed or
    // became unreadable since the index was made). Moves the cache's focus to n.
    std::shared_ptr<const DecodedFrame> frame(int n);
    // Decodes ahead of a user at frame `at` travelling in `direction`: forward the next frame
    // not yet kept, back the span before the frames already cached below `at`, until enough
    // lie ready (as many as the budget lets the cache keep). Returns early, leaving the decoder
    // where it was, as soon as stop() answers true. A failure forgets what was kept.
    void prefetch(int at, int direction, const StopCheck& stop);

    // How many times any reader restarted decoding at a keyframe.
    static int totalSeeks();
    // How many pictures any reader's decoder gave out.
    static int totalDecoded();

private:
    // How one attempt to reach a frame ended.
    enum class Outcome { Found, Stopped, LandedLate, Failed };
    enum class SeekHow { Byte, PresentationTime, DecodeTime };

    std::shared_ptr<const DecodedFrame> decode(int n, const StopCheck& stop);
    void forget();
    void decodeAhead(int at, const StopCheck& stop);
    void decodeBehind(int at, const StopCheck& stop);
    bool tryDecode(int n, const StopCheck& stop);
    bool canContinueTo(int n) const;
    int keptBehind() const;
    bool seekTo(int decodeIndex, SeekHow how);
    qint64 bytePositionFor(int decodeIndex) const;
    Outcome decodeUntil(int n, const StopCheck& stop);
    // Outcome of looking at the decoder's pictures or of feeding one packet.
    enum class Step { Continue, Found, Passed, Ended, LandedLate };
    Step takeFrame(int n);
    Step feedPacket();
    Step skipToKeyframe(int decodeIndex);
    bool passesOver(const AVPacket& packet);
    void prepareToKeep(int from, int to);
    void keepFrom(int frame) { m_keepFrom = m_wholeFrom = frame; }
    std::shared_ptr<const DecodedFrame> makeFrame(int number);

    std::unique_ptr<Demuxer> m_demuxer;
    std::unique_ptr<VideoDecoder> m_decoder;
    const FrameIndex& m_index;
    FrameCache& m_cache;
    int m_stream;
    Orientation m_orientation;
    PictureHeaderReader m_headers;
    PacketPtr m_packet;
    FramePtr m_picture;

    bool m_positioned = false;  // the decoder continues from a seek without gaps
    int m_awaitedKeyframe = -1; // decode index of the keyframe the seek is for, until it arrives
    int m_skipped = 0;          // packets read past since the seek without knowing them
    int m_unknownRun = 0;       // packets in a row, since the keyframe, that the index does not know
    bool m_draining = false;    // the file ended; the decoder is giving out what it holds
    bool m_drainedEarly = false;  // drained for a keyframe before the file ended: restart to read on
    int m_spanStart = 0;        // first frame that decoding since the seek gives out whole
    int m_expectedPacket = 0;   // decode index the next packet probably has
    int m_lastOutput = -1;      // the last frame the decoder gave out since the seek
    int m_lastAsked = 0;        // the last frame asked for, for the direction of travel
    bool m_steppedBack = false; // it was the one after the frame asked for before it
    bool m_behindAJump = false; // nothing decoded yet behind the last jump (or held step into an interval)
    int m_target = 0;           // the frame being decoded towards
    int m_pastTarget = 0;       // pictures given out beyond it while decoding towards it
    bool m_keepEveryPicture = false;  // decoding ahead: no picture is passed over
    int m_keepFrom = 0;         // pictures before this frame are not kept in the cache
    int m_wholeFrom = 0;        // nor decoded before this one, where nothing refers to them
    std::shared_ptr<const DecodedFrame> m_found;
};

}  // namespace mci
