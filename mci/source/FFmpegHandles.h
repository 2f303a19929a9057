// Owning handles for FFmpeg objects: every one is freed by its own destructor, so no error path
// can leak or double-free them. Included only by source files of mci/.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace mci {

struct FormatContextDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct ParserDeleter {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct SwrDeleter {
    void operator()(SwrContext* c) const { swr_free(&c); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserDeleter>;

// Packet whose payload is released when the handle goes out of scope or is reused.
struct PacketUnref {
    void operator()(AVPacket* p) const { av_packet_unref(p); }
};
using PacketRef = std::unique_ptr<AVPacket, PacketUnref>;

}  // namespace mci
