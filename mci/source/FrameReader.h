// Exact access to the n-th frame of a video stream: seeks to a keyframe before it, decodes
// forward and recognises every decoded picture by the packet it came from (FrameIndex).
//
// One thread at a time. Owns its demuxer and decoder; reads the index it was given, which must
// outlive it.
#pragma once

#include "Demuxer.h"
#include "FrameIndex.h"
#include "MediaSource.h"
#include "VideoDecoder.h"

#include <memory>

namespace mci {

class FrameReader {
public:
    FrameReader(std::unique_ptr<Demuxer> demuxer, std::unique_ptr<VideoDecoder> decoder, const FrameIndex& index);

    // Frame n (0..frameCount-1), or nullptr when it cannot be decoded (the file changed or
    // became unreadable since the index was made).
    std::shared_ptr<const DecodedFrame> frame(int n);

    // How many times any reader restarted decoding at a keyframe.
    static int totalSeeks();

private:
    bool canContinueTo(int n) const;
    bool seekTo(int decodeIndex);
    bool seekToPacket(const PacketEntry& packet);
    std::shared_ptr<const DecodedFrame> decodeUntil(int n);
    // Outcome of looking at one decoded picture or of feeding one packet.
    enum class Step { Continue, Found, Passed, Ended };
    Step takeFrame(int n);
    Step feedPacket();
    std::shared_ptr<const DecodedFrame> makeFrame(int number);

    std::unique_ptr<Demuxer> m_demuxer;
    std::unique_ptr<VideoDecoder> m_decoder;
    const FrameIndex& m_index;
    int m_stream;
    PacketPtr m_packet;
    FramePtr m_picture;

    bool m_positioned = false;   // the decoder continues from a seek without gaps
    bool m_waitingForKeyframe = false;
    bool m_draining = false;     // the file ended; the decoder is giving out what it holds
    int m_expectedPacket = 0;    // decode index the next packet probably has
    int m_lastOutput = -1;       // the last frame the decoder gave out since the seek
    std::shared_ptr<const DecodedFrame> m_last;
};

}  // namespace mci
