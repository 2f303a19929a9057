// A working video decoder for one stream, or the reason there is none.
//
// One thread at a time. Owns its codec context.
#pragma once

#include "FFmpegError.h"
#include "FFmpegHandles.h"
#include "PictureBuffers.h"

#include <memory>
#include <variant>

namespace mci {

class VideoDecoder {
public:
    // parameters: the stream's as its packets are read (Demuxer::videoParameters).
    static std::variant<std::unique_ptr<VideoDecoder>, OpenFailure> create(const AVStream* stream,
                                                                           const AVCodecParameters* parameters);

    // Threads a decoder opened now uses: one per core this process may run on (its affinity
    // mask, so that `taskset` is honoured). A thread per core decodes an interval up to that
    // many times faster; the pictures in flight it adds to a seek are a few against the
    // interval's hundreds, and a seek onto a keyframe drains them at once.
    static int decodingThreads();

    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // avcodec_send_packet / avcodec_receive_frame: nullptr drains the decoder.
    int send(const AVPacket* packet) { return avcodec_send_packet(m_context.get(), packet); }
    // A picture's colour description holds only values its enumerations have: a file may state
    // others (a container copies its numbers as they stand), and reading one as the
    // enumeration is undefined wherever the picture goes. Those become unsaid.
    int receive(AVFrame* frame);
    // Forgets every picture in flight, so decoding can restart at a keyframe after a seek.
    void flush() { avcodec_flush_buffers(m_context.get()); }
    // Whether the decoder gives a picture out only after more packets have come (reordering,
    // or a picture per thread in flight).
    bool holdsPicturesBack() const
    {
        return m_context->has_b_frames > 0 || (m_context->active_thread_type & FF_THREAD_FRAME);
    }

    // Memory for the next `pictures` pictures, written ahead (PictureBuffers::prepare).
    void prepare(int pictures)
    {
        if (m_buffers)
            m_buffers->prepare(pictures);
    }

    // How many pictures the decoder holds back to put them in order (B-pictures), as the stream
    // says or decoding has found.
    int reorderDepth() const { return m_context->has_b_frames; }

    // Whether a picture no other picture refers to may be left out of decoding: the decoders of
    // these codecs decode the pictures after it the same without it. (Damage they patch up from
    // the last picture decoded, whichever it was: a damaged picture reached by a jump differs
    // from the one played through whether anything was passed over or not.)
    bool canPassOverUnreferencedPictures() const
    {
        switch (m_context->codec_id) {
        case AV_CODEC_ID_MPEG1VIDEO:
        case AV_CODEC_ID_MPEG2VIDEO:
        case AV_CODEC_ID_MPEG4:
        case AV_CODEC_ID_H264:
        case AV_CODEC_ID_HEVC:
            return true;
        default:
            return false;
        }
    }

private:
    struct Release {
        void operator()(PictureBuffers* buffers) const { buffers->release(); }
    };
    using BuffersPtr = std::unique_ptr<PictureBuffers, Release>;

    VideoDecoder(CodecContextPtr context, BuffersPtr buffers)
        : m_buffers(std::move(buffers)), m_context(std::move(context))
    {
    }

    BuffersPtr m_buffers;  // before the context: the decoder asks it for pictures until closed
    CodecContextPtr m_context;
};

}  // namespace mci
