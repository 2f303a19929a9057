// The gauge control TGauge and the bitmap TBltBitmap.
//
// TGauge shows how far Progress has advanced from MinValue to MaxValue as a whole percentage,
// in one of five faces. It paints every one of its pixels itself: each paint composes the whole
// picture off screen and copies it in one go, and the widget is opaque, so nothing behind it is
// painted first and a repaint on every timer tick does not flicker.
//
// Contract:
// - UI thread only.
// - Setters that change the picture repaint at once (QWidget::repaint), which paints only while
//   the gauge is visible; Progress repaints only when the whole percentage changes.
// - MinValue and MaxValue refuse a crossed range with EInvalidOperation, except between
//   beginLoad() and endLoad(), while the gauge is being read from a window description.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include <cstdint>

class QPainter;

enum TGaugeKind : std::uint8_t { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle : std::uint8_t { bsNone, bsSingle };

// An off-screen image for the gauge's paint (32-bit RGB, so raster operations act on plain
// colour bits).
class TBltBitmap : public QImage {
public:
    TBltBitmap() = default;
    // Takes the template's width and height and fills the whole image with clWindowFrame.
    void MakeLike(const QImage& Template);
};

class TGauge : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(int Progress READ Progress WRITE SetProgress)
    Q_PROPERTY(bool ShowText READ ShowText WRITE SetShowText)
    Q_PROPERTY(QColor ForeColor READ ForeColor WRITE SetForeColor)
    Q_PROPERTY(QColor BackColor READ BackColor WRITE SetBackColor)
    Q_PROPERTY(QColor Color READ Color WRITE SetColor)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)

public:
    // 100 x 100, range 0 to 100, value 0, horizontal bar with text, black frame, black on white.
    explicit TGauge(QWidget* owner = nullptr);

    std::int32_t MinValue() const { return m_minValue; }
    void SetMinValue(std::int32_t value);
    std::int32_t MaxValue() const { return m_maxValue; }
    void SetMaxValue(std::int32_t value);
    std::int32_t Progress() const { return m_progress; }
    void SetProgress(std::int32_t value);  // clamped into MinValue .. MaxValue
    TGaugeKind Kind() const { return m_kind; }
    void SetKind(TGaugeKind value);
    bool ShowText() const { return m_showText; }
    void SetShowText(bool value);
    TBorderStyle BorderStyle() const { return m_borderStyle; }
    void SetBorderStyle(TBorderStyle value);
    QColor ForeColor() const { return m_foreColor; }
    void SetForeColor(const QColor& value);
    QColor BackColor() const { return m_backColor; }
    void SetBackColor(const QColor& value);

    // Background of the pie and needle faces: the parent's background while ParentColor is true
    // (clWindow when there is no parent); setting Color clears ParentColor.
    QColor Color() const;
    void SetColor(const QColor& value);
    bool ParentColor() const { return m_parentColor; }
    void SetParentColor(bool value);
    // The text's font; follows the parent's font while ParentFont is true (Qt's own inheritance).
    QFont Font() const { return font(); }
    void SetFont(const QFont& value) { setFont(value); }
    bool ParentFont() const { return !testAttribute(Qt::WA_SetFont); }
    void SetParentFont(bool value);

    // The whole percentage 0 to 100 of Progress within the range; 0 for an empty range.
    int Percentage() const;

    // Reading from a window description: the range setters accept any value meanwhile.
    void beginLoad() { m_loading = true; }
    void endLoad() { m_loading = false; }
    bool Loading() const { return m_loading; }

    // Number of paints so far, so that tests can count immediate repaints.
    int PaintCount() const { return m_paintCount; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Composes the picture off screen and copies it onto Canvas at (0, 0).
    virtual void Paint(QPainter& Canvas);

private:
    struct TPaintRect {
        int Left, Top, Right, Bottom;
    };
    TPaintRect PaintRect() const;
    void PaintAsText(QPainter& Canvas, const TPaintRect& R) const;
    void PaintAsBar(QPainter& Canvas, const TPaintRect& R) const;
    QSize PrepareRoundFace(QPainter& Canvas, const TPaintRect& R) const;
    void PaintAsPie(QPainter& Canvas, const TPaintRect& R) const;
    void PaintAsNeedle(QPainter& Canvas, const TPaintRect& R) const;
    void PaintText(TBltBitmap& Image, const TPaintRect& R) const;

    std::int32_t m_minValue = 0;
    std::int32_t m_maxValue = 100;
    std::int32_t m_progress = 0;
    TGaugeKind m_kind = gkHorizontalBar;
    bool m_showText = true;
    TBorderStyle m_borderStyle = bsSingle;
    QColor m_foreColor;
    QColor m_backColor;
    QColor m_color;
    bool m_parentColor = true;
    bool m_loading = false;
    int m_paintCount = 0;
};
