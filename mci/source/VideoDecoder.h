// A working video decoder for one stream, or the reason there is none.
//
// One thread at a time. Owns its codec context.
#pragma once

#include "FFmpegError.h"
#include "FFmpegHandles.h"

#include <memory>
#include <variant>

namespace mci {

class VideoDecoder {
public:
    static std::variant<std::unique_ptr<VideoDecoder>, OpenFailure> create(const AVStream* stream);

    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // avcodec_send_packet / avcodec_receive_frame: nullptr drains the decoder.
    int send(const AVPacket* packet) { return avcodec_send_packet(m_context.get(), packet); }
    int receive(AVFrame* frame) { return avcodec_receive_frame(m_context.get(), frame); }
    // Forgets every picture in flight, so decoding can restart at a keyframe after a seek.
    void flush() { avcodec_flush_buffers(m_context.get()); }
    // Whether a picture shown before one decoded earlier is never a reference (MPEG-1 and
    // MPEG-2 B-pictures), so a request for a later frame need not decode it.
    // Whether the decoder gives a picture out only after more packets have come (reordering,
    // or a picture per thread in flight).
    bool holdsPicturesBack() const
    {
        return m_context->has_b_frames > 0 || (m_context->active_thread_type & FF_THREAD_FRAME);
    }
    bool reorderedPicturesAreUnreferenced() const
    {
        return m_context->codec_id == AV_CODEC_ID_MPEG1VIDEO || m_context->codec_id == AV_CODEC_ID_MPEG2VIDEO;
    }

private:
    explicit VideoDecoder(CodecContextPtr context) : m_context(std::move(context)) {}

    CodecContextPtr m_context;
};

}  // namespace mci
