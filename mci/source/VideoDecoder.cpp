#include "VideoDecoder.h"

#include "CodecContext.h"
#include "Cores.h"
#include "SourceErrors.h"

#include <algorithm>

namespace mci {

namespace {

// Beyond this the decoders' own threading gains nothing and warns.
constexpr int kMostThreads = 16;

}  // namespace

int VideoDecoder::decodingThreads()
{
    return std::clamp(coresToUse(), 1, kMostThreads);
}

std::variant<std::unique_ptr<VideoDecoder>, OpenFailure> VideoDecoder::create(const AVStream* stream,
                                                                              const AVCodecParameters* parameters)
{
    BuffersPtr buffers;
    auto opened = openCodecContext(
        stream,
        [&buffers](AVCodecContext* context) {
            context->max_pixels = kMaxPicturePixels;
            buffers.reset(PictureBuffers::installOn(context));
            context->thread_count = decodingThreads();
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
