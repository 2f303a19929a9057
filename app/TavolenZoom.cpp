// The zoom slider of the player window and its arithmetic.
#include "TavolenZoom.h"

#include "Edit.h"
#include "TavolenPlay.h"
#include "TrackBar.h"

#include <cmath>
#include <limits>

double ZoomFactor(int p) {
    if (p > 0) return p / 4.0 + 1;
    if (p < 0) return 1 / (std::abs(p) / 4.0 + 1);
    return 1;
}

QString ZoomText(double k) {
    // asprintf formats in the C locale, so the separator is a point whatever the user's settings.
    return QString::asprintf("x%.15g", k);
}

std::int32_t RoundHalfEven(double value) {
    constexpr double low = std::numeric_limits<std::int32_t>::min();
    constexpr double high = std::numeric_limits<std::int32_t>::max();
    if (!(value > low)) return std::numeric_limits<std::int32_t>::min();  // NaN too
    if (value >= high) return std::numeric_limits<std::int32_t>::max();
    // An exact half: halving it gives a quarter, which std::round cannot tie on.
    const bool half = std::abs(value - std::trunc(value)) == 0.5;
    return static_cast<std::int32_t>(half ? 2 * std::round(value / 2) : std::round(value));
}

QSize ScaledSize(QSize natural, double k) {
    return QSize(RoundHalfEven(natural.width() * k), RoundHalfEven(natural.height() * k));
}

void TTavolenForm::ScalbarChange(TObject* Sender) {
    const double k = ZoomFactor(Scalbar->position());
    Scal->setText(ZoomText(k));
    // Always from the natural size, so zooming back and forth never accumulates rounding.
    const QSize size = ScaledSize(QSize(NaturalRect.Right, NaturalRect.Bottom), k);
    LayoutWindow(TRect{0, 0, size.width(), size.height()});
    PlacePicture(size.width(), size.height());
}
