#include "VideoDecoder.h"

#include "SourceErrors.h"

namespace mci {

std::variant<std::unique_ptr<VideoDecoder>, OpenFailure> VideoDecoder::create(const AVStream* stream)
{
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return openFailure(MCIERR_SOURCE_UNSUPPORTED_CODEC);
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        return openFailure(MCIERR_OUT_OF_MEMORY);
    int result = avcodec_parameters_to_context(context.get(), stream->codecpar);
    if (result < 0)
        return openFailureFromAv(result, FormatKnown::Yes);
    context->pkt_timebase = stream->time_base;
    context->max_pixels = kMaxPicturePixels;
    // Two threads: the machines this runs on are small, and more threads mean more pictures in
    // flight to throw away on every seek.
    context->thread_count = 2;
    result = avcodec_open2(context.get(), codec, nullptr);
    if (result < 0)
        return openFailureFromAv(result, FormatKnown::Yes);
    return std::unique_ptr<VideoDecoder>(new VideoDecoder(std::move(context)));
}

}  // namespace mci
