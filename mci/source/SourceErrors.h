// The codes with which opening a media file fails, and their Japanese texts. The service hands
// these texts out through mciGetErrorStringA; each code names one situation, because the text
// is looked up by code alone.
#pragma once

#include "Mci.h"

#include <QString>

namespace mci {

// This service's own codes start at MCIERR_CUSTOM_DRIVER_BASE + 100, leaving the lower custom
// codes to the playing half of the service.
inline constexpr MCIERROR MCIERR_SOURCE_EMPTY_FILE = MCIERR_CUSTOM_DRIVER_BASE + 100;
inline constexpr MCIERROR MCIERR_SOURCE_TRUNCATED = MCIERR_CUSTOM_DRIVER_BASE + 101;
inline constexpr MCIERROR MCIERR_SOURCE_CANCELLED = MCIERR_CUSTOM_DRIVER_BASE + 102;
inline constexpr MCIERROR MCIERR_SOURCE_PICTURE_TOO_LARGE = MCIERR_CUSTOM_DRIVER_BASE + 103;
inline constexpr MCIERROR MCIERR_SOURCE_UNSUPPORTED_CODEC = MCIERR_CUSTOM_DRIVER_BASE + 104;

// Also returned by an open: MCIERR_FILE_NOT_FOUND, MCIERR_FILE_READ (exists but cannot be
// read), MCIERR_INVALID_FILE (not a media file, or one with neither picture nor sound),
// MCIERR_OUT_OF_MEMORY.

// The largest picture the source accepts; anything larger is refused at open rather than
// risking an allocation the machine cannot make.
inline constexpr int kMaxPictureSide = 16384;
inline constexpr qint64 kMaxPicturePixels = qint64(1) << 28;
// Sound outside these rates is damage: a rate of 1 Hz made every sample 48,000 when resampled.
inline constexpr int kMinSampleRate = 1000;
inline constexpr int kMaxSampleRate = 768'000;

// The text for one of the codes above (or the platform codes an open returns); an empty
// string for any other code.
QString sourceErrorText(MCIERROR code);

}  // namespace mci
