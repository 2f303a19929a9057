#include "FFmpegError.h"

#include "SourceErrors.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <cerrno>

namespace mci {

namespace {

// FFmpeg also answers ENOMEM when a damaged header asks for an absurd allocation; the machine
// has run short only when a modest allocation fails as well. The probe goes through FFmpeg's
// allocator, which no compiler can see into: a malloc freed unused may be assumed to succeed,
// and clang folded the whole probe to false.
bool memoryRunsShort()
{
    void* probe = av_malloc(size_t(64) << 20);
    const bool failed = probe == nullptr;
    av_free(probe);
    return failed;
}

}  // namespace

MCIERROR mciErrorFromAv(int averror, FormatKnown known)
{
    const MCIERROR broken = known == FormatKnown::Yes ? MCIERR_SOURCE_TRUNCATED : MCIERR_INVALID_FILE;
    switch (averror) {
    case AVERROR(ENOENT):
        return MCIERR_FILE_NOT_FOUND;
    case AVERROR(EACCES):
    case AVERROR(EPERM):
    case AVERROR(EIO):
    case AVERROR(EISDIR):
        return MCIERR_FILE_READ;
    case AVERROR(ENOMEM):
        return memoryRunsShort() ? MCIERR_OUT_OF_MEMORY : broken;
    case AVERROR_EXIT:
        return MCIERR_SOURCE_CANCELLED;
    case AVERROR_DECODER_NOT_FOUND:
        return MCIERR_SOURCE_UNSUPPORTED_CODEC;
    case AVERROR_EOF:
        return MCIERR_SOURCE_TRUNCATED;
    default:
        // INVALIDDATA, PATCHWELCOME and the rest: the bytes are not what the format promises.
        return broken;
    }
}

OpenFailure openFailure(MCIERROR code)
{
    return OpenFailure{code, sourceErrorText(code)};
}

OpenFailure openFailureFromAv(int averror, FormatKnown known)
{
    return openFailure(mciErrorFromAv(averror, known));
}

}  // namespace mci
