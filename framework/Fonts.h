// Fonts named by the window descriptions, mapped to fonts that Debian has.
#pragma once

#include <QFont>
#include <QString>

namespace fw {

// "ＭＳ Ｐゴシック" becomes IPAPGothic (or another Japanese Gothic that QFontDatabase knows),
// "MS Sans Serif" becomes DejaVu Sans or Liberation Sans; other families are kept. A negative
// height is the character height in pixels, a positive one the point size; 0 keeps the default.
QFont mapFont(const QString& family, int height, bool italic = false, bool bold = false);

// The family that mapFont uses for a described family (exposed for tests and diagnostics).
QString mappedFamily(const QString& family);

}  // namespace fw
