// The decoder of one stream, opened: what the picture and the sound decoders both start from.
// Any thread; the context it returns is for one thread at a time.
#pragma once

#include "FFmpegError.h"
#include "FFmpegHandles.h"

#include <functional>
#include <variant>

namespace mci {

// An open codec context for stream (its parameters, or those given, and its time base applied),
// or the reason there is none. tune, when given, sets what must be fixed before the codec opens.
std::variant<CodecContextPtr, OpenFailure> openCodecContext(const AVStream* stream,
                                                            const std::function<void(AVCodecContext*)>& tune = {},
                                                            const AVCodecParameters* parameters = nullptr);

}  // namespace mci
