#include "CodecContext.h"

#include "SourceErrors.h"

namespace mci {

std::variant<CodecContextPtr, OpenFailure> openCodecContext(const AVStream* stream,
                                                            const std::function<void(AVCodecContext*)>& tune,
                                                            const AVCodecParameters* parameters)
{
    if (!parameters)
        parameters = stream->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return openFailure(MCIERR_SOURCE_UNSUPPORTED_CODEC);
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        return openFailure(MCIERR_OUT_OF_MEMORY);
    int result = avcodec_parameters_to_context(context.get(), parameters);
    if (result < 0)
        return openFailureFromAv(result, FormatKnown::Yes);
    context->pkt_timebase = stream->time_base;
    if (tune)
        tune(context.get());
    result = avcodec_open2(context.get(), codec, nullptr);
    if (result < 0)
        return openFailureFromAv(result, FormatKnown::Yes);
    return context;
}

}  // namespace mci
