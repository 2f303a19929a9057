#include "VideoDecoder.h"

#include "CodecContext.h"
#include "Cores.h"
#include "SourceErrors.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

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

namespace {

template <typename Enum>
void keepKnown(Enum& field, long long count, Enum unsaid)
{
    std::underlying_type_t<Enum> value;
    std::memcpy(&value, &field, sizeof value);  // not read as the enumeration: it may be none
    if (static_cast<long long>(value) < 0 || static_cast<long long>(value) >= count)
        field = unsaid;
}

}  // namespace

int VideoDecoder::receive(AVFrame* frame)
{
    const int result = avcodec_receive_frame(m_context.get(), frame);
    if (result >= 0) {
        keepKnown(frame->color_primaries, AVCOL_PRI_NB, AVCOL_PRI_UNSPECIFIED);
        keepKnown(frame->color_trc, AVCOL_TRC_NB, AVCOL_TRC_UNSPECIFIED);
        keepKnown(frame->colorspace, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
        keepKnown(frame->color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED);
        keepKnown(frame->chroma_location, AVCHROMA_LOC_NB, AVCHROMA_LOC_UNSPECIFIED);
    }
    return result;
}

}  // namespace mci
