// The one place where FFmpeg's error codes become this service's codes.
#pragma once

#include "MediaSource.h"

namespace mci {

// Whether the file was recognised as a media format before the error: a recognised file that
// then fails to read is truncated or broken, an unrecognised one is not a media file.
enum class FormatKnown { No, Yes };

MCIERROR mciErrorFromAv(int averror, FormatKnown known);

// An OpenFailure for an MCI code, with the code's text.
OpenFailure openFailure(MCIERROR code);
OpenFailure openFailureFromAv(int averror, FormatKnown known);

}  // namespace mci
