#include "Gauges.h"

#include "Application.h"
#include "Colors.h"
#include "Exception.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>

#include <cmath>
#include <cstdlib>
#include <numbers>

namespace {

constexpr const char* RangeMessage = "%d から %d の間の値でなければなりません";

// Halves go to the even neighbour, as in the default rounding mode.
int RoundEven(long double value) { return static_cast<int>(std::nearbyint(value)); }

// n times the percentage in extended precision. 0.01 is not exact in binary and its extended
// value lies just below one hundredth, so 10 % of 100 comes out as 9; the bars rely on exactly
// this, which is why the product is neither rounded nor done in integers.
int ScaledLength(int n, int percentage) {
    const long double c = 0.01L;
    return static_cast<int>(n * (percentage * c));
}

// The drawing primitives below take boxes as (left, top, right, bottom) with the right and
// bottom edges excluded. Qt's outlined shapes cover one pixel more than their QRect's size, so
// every box is handed to Qt one pixel narrower and lower.

void FillBox(QPainter& canvas, int left, int top, int right, int bottom, const QColor& colour) {
    if (right > left && bottom > top) canvas.fillRect(QRect(left, top, right - left, bottom - top), colour);
}

QRectF ShapeBox(int left, int top, int right, int bottom) {
    return QRectF(left, top, right - left - 1, bottom - top - 1);
}

void Ellipse(QPainter& canvas, int left, int top, int right, int bottom) {
    canvas.drawEllipse(ShapeBox(left, top, right, bottom));
}

// Qt angle (1/16 degree, counterclockwise from 3 o'clock) of the ray from the ellipse's centre
// through (x, y). Points name pixels, and so does the centre: the middle pixel of the covered
// box, so that a point level with or straight above the centre gives an exact axis. Qt measures
// an ellipse's angles on the circle it is stretched from, so the ray's direction is scaled by
// the semi-axes first; for a circle this is plain atan2.
int RayAngle(int left, int top, int right, int bottom, int x, int y) {
    const QRectF box = ShapeBox(left, top, right, bottom);
    const double dx = x - box.center().x();
    const double dy = box.center().y() - y;  // screen rows grow downwards
    const double radians = std::atan2(dy * box.width(), dx * box.height());
    return static_cast<int>(std::lround(radians * 180.0 / std::numbers::pi * 16.0));
}

// A wedge running counterclockwise from the ray through (x1, y1) to the ray through (x2, y2);
// equal rays give the whole ellipse.
void Pie(QPainter& canvas, int left, int top, int right, int bottom, int x1, int y1, int x2, int y2) {
    constexpr int fullCircle = 360 * 16;
    const int start = RayAngle(left, top, right, bottom, x1, y1);
    const int end = RayAngle(left, top, right, bottom, x2, y2);
    int span = ((end - start) % fullCircle + fullCircle) % fullCircle;
    if (span == 0) span = fullCircle;
    canvas.drawPie(ShapeBox(left, top, right, bottom), start, span);
}

// From (x0, y0) up to, not including, (x1, y1). Qt's own lines include or drop the end
// depending on their direction, so the pixels are chosen here.
void Line(QPainter& canvas, const QColor& colour, int x0, int y0, int x1, int y1) {
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int error = dx + dy;
    while (x0 != x1 || y0 != y1) {
        canvas.fillRect(QRect(x0, y0, 1, 1), colour);
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            x0 += sx;
        }
        if (twice <= dx) {
            error += dx;
            y0 += sy;
        }
    }
}

// Every pixel black: the neutral ground for combining images with exclusive-or.
void Blackness(QImage& image) { image.fill(QColor(0, 0, 0)); }

void CombineXor(QImage& target, const QImage& source) {
    QPainter canvas(&target);
    canvas.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    canvas.drawImage(0, 0, source);
}

}  // namespace

void TBltBitmap::MakeLike(const QImage& Template) {
    QImage::operator=(QImage(Template.width(), Template.height(), QImage::Format_RGB32));
    fill(fw::clWindowFrame);
}

TGauge::TGauge(QWidget* owner)
    : QWidget(owner), m_foreColor(fw::clBlack), m_backColor(fw::clWhite), m_color(fw::clWindow) {
    // Every pixel is painted from the off-screen picture; Qt must not clear anything first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
}

void TGauge::SetMinValue(std::int32_t value) {
    if (value == m_minValue) return;
    if (value > m_maxValue && !m_loading) {
        // MaxValue - 1 wraps at the bottom of the range rather than overflowing.
        const auto upper = static_cast<std::int32_t>(std::int64_t(m_maxValue) - 1);
        throw EInvalidOperation(fw::format(RangeMessage, -2147483647, upper));
    }
    m_minValue = value;
    if (m_progress < value) m_progress = value;
    repaint();
}

void TGauge::SetMaxValue(std::int32_t value) {
    if (value == m_maxValue) return;
    if (value < m_minValue && !m_loading) {
        const auto lower = static_cast<std::int32_t>(std::int64_t(m_minValue) + 1);
        throw EInvalidOperation(fw::format(RangeMessage, lower, 2147483647));
    }
    m_maxValue = value;
    if (m_progress > value) m_progress = value;
    repaint();
}

void TGauge::SetProgress(std::int32_t value) {
    const int before = Percentage();
    if (value < m_minValue)
        value = m_minValue;
    else if (value > m_maxValue)
        value = m_maxValue;
    if (value == m_progress) return;
    m_progress = value;
    if (Percentage() != before) repaint();
}

void TGauge::SetKind(TGaugeKind value) {
    if (value == m_kind) return;
    m_kind = value;
    repaint();
}

void TGauge::SetShowText(bool value) {
    if (value == m_showText) return;
    m_showText = value;
    repaint();
}

void TGauge::SetBorderStyle(TBorderStyle value) {
    if (value == m_borderStyle) return;
    m_borderStyle = value;
    repaint();
}

void TGauge::SetForeColor(const QColor& value) {
    if (value == m_foreColor) return;
    m_foreColor = value;
    repaint();
}

void TGauge::SetBackColor(const QColor& value) {
    if (value == m_backColor) return;
    m_backColor = value;
    repaint();
}

QColor TGauge::Color() const {
    const QWidget* parent = parentWidget();
    if (m_parentColor && parent != nullptr) return parent->palette().color(parent->backgroundRole());
    return m_color;
}

void TGauge::SetColor(const QColor& value) {
    const QColor before = Color();
    m_color = value;
    m_parentColor = false;
    if (Color() != before) update();
}

void TGauge::SetParentColor(bool value) {
    if (value == m_parentColor) return;
    const QColor before = Color();
    m_parentColor = value;
    if (Color() != before) update();
}

void TGauge::SetParentFont(bool value) {
    if (value == ParentFont()) return;
    // An empty font resolves nothing of its own, so Qt inherits the parent's again.
    setFont(value ? QFont() : font());
}

int TGauge::Percentage() const {
    // Taken wider than 32 bits: a range spanning most of the integers would otherwise wrap
    // round and give a percentage far outside 0 to 100.
    const std::int64_t range = std::int64_t(m_maxValue) - m_minValue;
    const std::int64_t done = std::int64_t(m_progress) - m_minValue;
    if (range == 0) return 0;
    return static_cast<int>(done * 100 / range);
}

void TGauge::changeEvent(QEvent* event) {
    // The text follows the font, the pie and needle faces the parent's colour.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) update();
    QWidget::changeEvent(event);
}

void TGauge::paintEvent(QPaintEvent*) {
    ++m_paintCount;
    fw::guard([this] {
        QPainter canvas(this);
        Paint(canvas);
    });
}

TGauge::TPaintRect TGauge::PaintRect() const {
    TPaintRect R{0, 0, width(), height()};
    if (m_borderStyle == bsSingle) R = {R.Left + 1, R.Top + 1, R.Right - 1, R.Bottom - 1};
    return R;
}

void TGauge::Paint(QPainter& Canvas) {
    if (width() <= 0 || height() <= 0) return;
    TBltBitmap image;
    image.QImage::operator=(QImage(width(), height(), QImage::Format_RGB32));
    Blackness(image);
    const TPaintRect R = PaintRect();
    TBltBitmap overlay;
    overlay.MakeLike(image);
    Blackness(overlay);
    {
        QPainter face(&overlay);
        switch (m_kind) {
            case gkText: PaintAsText(face, R); break;
            case gkHorizontalBar:
            case gkVerticalBar: PaintAsBar(face, R); break;
            case gkPie: PaintAsPie(face, R); break;
            case gkNeedle: PaintAsNeedle(face, R); break;
            default: break;  // an unknown face draws nothing
        }
    }
    CombineXor(image, overlay);
    if (m_showText) PaintText(image, R);
    Canvas.drawImage(0, 0, image);
}

void TGauge::PaintAsText(QPainter& Canvas, const TPaintRect& R) const {
    FillBox(Canvas, R.Left, R.Top, R.Right, R.Bottom, m_backColor);
}

void TGauge::PaintAsBar(QPainter& Canvas, const TPaintRect& R) const {
    const int w = R.Right - R.Left + 1;
    const int h = R.Bottom - R.Top + 1;
    FillBox(Canvas, R.Left, R.Top, R.Right, R.Bottom, m_backColor);
    // The far corners are the lengths themselves, not offsets from Left and Top.
    if (m_kind == gkHorizontalBar) {
        int f = ScaledLength(w, Percentage());
        if (f > w) f = w;
        if (f > 0) FillBox(Canvas, R.Left, R.Top, f, h, m_foreColor);
    } else {
        int f = ScaledLength(h, Percentage());
        if (f >= h) f = h - 1;
        FillBox(Canvas, R.Left, h - f, w, h, m_foreColor);
    }
}

// The round faces: their extent (one pixel wider and taller with a frame, so that the far
// edges land on the frame's inner line), the background, and the pen and brush of the empty part.
QSize TGauge::PrepareRoundFace(QPainter& Canvas, const TPaintRect& R) const {
    const int grow = m_borderStyle == bsSingle ? 1 : 0;
    FillBox(Canvas, R.Left, R.Top, R.Right, R.Bottom, Color());
    Canvas.setPen(QPen(m_foreColor, 1));
    Canvas.setBrush(m_backColor);
    return QSize(R.Right - R.Left + grow, R.Bottom - R.Top + grow);
}

void TGauge::PaintAsPie(QPainter& Canvas, const TPaintRect& R) const {
    const QSize extent = PrepareRoundFace(Canvas, R);
    const int w = extent.width();
    const int h = extent.height();
    Ellipse(Canvas, R.Left, R.Top, w, h);
    const int percentage = Percentage();
    if (percentage == 0) return;
    Canvas.setBrush(m_foreColor);
    const int mx = w / 2;
    const int my = h / 2;
    // The start ray turns clockwise from 12 o'clock as the percentage grows; the wedge runs
    // counterclockwise from it back up to 12 o'clock.
    const double A = (percentage / 50.0L + 0.5L) * std::numbers::pi_v<long double>;
    const int x = RoundEven(mx * (1 - std::cos(static_cast<long double>(A))));
    const int y = RoundEven(my * (1 - std::sin(static_cast<long double>(A))));
    Pie(Canvas, R.Left, R.Top, w, h, x, y, mx, 0);
}

void TGauge::PaintAsNeedle(QPainter& Canvas, const TPaintRect& R) const {
    const QSize extent = PrepareRoundFace(Canvas, R);
    const int w = extent.width();
    const int h = extent.height();
    // The upper half of an ellipse twice the face's height: a half disc standing on the bottom.
    Pie(Canvas, R.Left, R.Top, w, 2 * h - 1, R.Left + w, R.Bottom - 1, R.Left, R.Bottom - 1);
    Line(Canvas, m_foreColor, R.Left, R.Bottom, R.Left + w, R.Bottom);
    const int percentage = Percentage();
    if (percentage == 0) return;
    const int mx = width() / 2;
    const double A = percentage / 100.0L * std::numbers::pi_v<long double>;
    const int x = RoundEven((1 - std::cos(static_cast<long double>(A))) * mx);
    const int y = RoundEven((1 - std::sin(static_cast<long double>(A))) * (R.Bottom - 1));
    Line(Canvas, m_foreColor, mx, R.Bottom - 1, x, y);
}

// The text goes onto its own black image in white and is combined with exclusive-or, so every
// pixel of a character inverts the face below it: black over the empty part, white over the
// filled part. Antialiasing is off, since a grey edge pixel would not invert but discolour.
void TGauge::PaintText(TBltBitmap& Image, const TPaintRect& R) const {
    const QString S = QString::fromStdString(fw::format("%d%%", Percentage()));
    TBltBitmap text;
    text.MakeLike(Image);
    Blackness(text);
    {
        QFont textFont = font();
        textFont.setStyleStrategy(QFont::NoAntialias);
        const QFontMetrics metrics(textFont);
        QPainter canvas(&text);
        canvas.setFont(textFont);
        canvas.setPen(fw::clWhite);
        canvas.setBrush(Qt::NoBrush);
        // Centred within R's size but not offset by Left and Top.
        const int x = (R.Right - R.Left + 1 - metrics.horizontalAdvance(S)) / 2;
        const int y = (R.Bottom - R.Top + 1 - metrics.height()) / 2;
        canvas.setClipRect(QRect(R.Left, R.Top, R.Right - R.Left, R.Bottom - R.Top));
        canvas.drawText(QPoint(x, y + metrics.ascent()), S);
    }
    CombineXor(Image, text);
}
