#include "VideoDecoder.h"

#include "CodecContext.h"
#include "SourceErrors.h"

namespace mci {

std::variant<std::unique_ptr<VideoDecoder>, OpenFailure> VideoDecoder::create(const AVStream* stream,
                                                                              const AVCodecParameters* parameters)
{
    BuffersPtr buffers;
    auto opened = openCodecContext(
        stream,
        [&buffers](AVCodecContext* context) {
            context->max_pixels = kMaxPicturePixels;
            buffers.reset(PictureBuffers::installOn(context));
            // Two threads: the machines this runs on are small, and more threads mean more
            // pictures in flight to throw away on every seek.
            context->thread_count = 2;
            // Theora's decoder on two frame threads gives slightly different pictures from run
            // to run; a frame seen twice must look the same.
            if (context->codec_id == AV_CODEC_ID_THEORA || context->codec_id == AV_CODEC_ID_VP3)
                context->thread_type = FF_THREAD_SLICE;
        },
        parameters);
    if (auto* failure = std::get_if<OpenFailure>(&opened))
        return *failure;
    return std::unique_ptr<VideoDecoder>(
        new VideoDecoder(std::move(std::get<CodecContextPtr>(opened)), std::move(buffers)));
}

}  // namespace mci
