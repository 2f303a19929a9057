// The Japanese texts of the codes the playing half of the service returns. Each code names one
// situation, because mciGetErrorStringA looks a text up by its code alone.
#pragma once

#include "Mci.h"

#include <QString>

namespace mci {

// An empty string for a code this half never returns.
QString serviceErrorText(MCIERROR code);

// Writes text as UTF-8 into buffer (length bytes with the terminating NUL), cut at a character
// boundary so a short buffer never ends in half a character. False when nothing fits.
bool copyErrorText(const QString& text, char* buffer, UINT length);

}  // namespace mci
