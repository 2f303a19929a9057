// The transport bar half of TMediaPlayer: construction, glyphs, the size rule, painting, mouse
// and keyboard, the click sequence and the automatic availability of the buttons.
#include "MPlayer.h"

#include "Application.h"
#include "Colors.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <algorithm>

// Resources compiled into a static library need an explicit reference to survive the link.
static void InitGlyphResources() { Q_INIT_RESOURCE(glyphs); }

namespace {

const char* const GlyphPrefixes[] = {"EN", "DI", "CL"};
const char* const GlyphSuffixes[] = {"MPPLAY", "MPPAUSE", "MPSTOP",  "MPNEXT", "MPPREV",
                                     "MPSTEP", "MPBACK",  "MPRECORD", "MPEJECT"};
constexpr QRgb GlyphKeyColour = qRgb(128, 128, 0);

TMPBtnType Kind(int index) { return TMPBtnType(index); }

// The key colour turns transparent, so the face painted below shows through it.
QImage Keyed(const QImage& glyph) {
    QImage keyed = glyph.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < keyed.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(keyed.scanLine(y));
        for (int x = 0; x < keyed.width(); ++x)
            if (qRgb(qRed(row[x]), qGreen(row[x]), qBlue(row[x])) == GlyphKeyColour) row[x] = 0;
    }
    return keyed;
}

// Rectangles exclude their right and bottom coordinates, lines their end point.
void FrameRect(QPainter& painter, int left, int top, int right, int bottom, const QColor& colour) {
    if (right <= left || bottom <= top) return;
    painter.fillRect(left, top, right - left, 1, colour);
    painter.fillRect(left, bottom - 1, right - left, 1, colour);
    painter.fillRect(left, top, 1, bottom - top, colour);
    painter.fillRect(right - 1, top, 1, bottom - top, colour);
}

// An upright or level line from (x1, y1) to (x2, y2), the end point left out.
void Line(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& colour) {
    if (x1 == x2) {
        const int step = y2 >= y1 ? 1 : -1;
        for (int y = y1; y != y2; y += step) painter.fillRect(x1, y, 1, 1, colour);
    } else {
        const int step = x2 >= x1 ? 1 : -1;
        for (int x = x1; x != x2; x += step) painter.fillRect(x, y1, 1, 1, colour);
    }
}

// The dotted focus rectangle: every other pixel of the outline inverted.
void DrawFocusRect(QPainter& painter, const QRect& r) {
    if (r.width() <= 0 || r.height() <= 0) return;
    painter.save();
    painter.setCompositionMode(QPainter::RasterOp_NotDestination);
    auto dot = [&](int x, int y) {
        if (((x + y) & 1) == 0) painter.fillRect(x, y, 1, 1, Qt::black);
    };
    for (int x = r.left(); x <= r.right(); ++x) {
        dot(x, r.top());
        if (r.bottom() != r.top()) dot(x, r.bottom());
    }
    for (int y = r.top() + 1; y < r.bottom(); ++y) {
        dot(r.left(), y);
        if (r.right() != r.left()) dot(r.right(), y);
    }
    painter.restore();
}

}  // namespace

// ---- construction ------------------------------------------------------------------------------

TMediaPlayer::TMediaPlayer(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    LoadGlyphs();
    m_visibleButtons = m_enabledButtons = m_coloredButtons = TButtonSet::All();
    for (auto& slot : m_slots) {
        slot.IsVisible = slot.IsEnabled = slot.IsColored = true;
        slot.IsAuto = false;
    }
    resize(240, 30);
    m_focusButton = btPlay;
    m_autoEnable = true;
    setFocusPolicy(Qt::TabFocus);  // a press does not take the focus; tabbing does
}

void TMediaPlayer::LoadGlyphs() {
    InitGlyphResources();
    m_minButtonSize = TPoint{0, 0};
    for (int kind = 0; kind < MPButtonKinds; ++kind) {
        for (int glyph = glEnabled; glyph <= glColored; ++glyph) {
            const QString name = QString::asprintf(":/glyphs/%s_%s.bmp", GlyphPrefixes[glyph], GlyphSuffixes[kind]);
            QImage image;
            if (!image.load(name, "BMP")) image = QImage();
            m_slots[kind].Glyphs[glyph] = image;
            m_slots[kind].KeyedGlyphs[glyph] = image.isNull() ? QImage() : Keyed(image);
            m_minButtonSize.X = std::max(m_minButtonSize.X, std::int32_t(image.width()));
            m_minButtonSize.Y = std::max(m_minButtonSize.Y, std::int32_t(image.height()));
        }
    }
    m_minButtonSize.X += 8;
    m_minButtonSize.Y += 4;
}

const QImage& TMediaPlayer::Glyph(TMPBtnType kind, GlyphKind glyph) const { return m_slots[kind].Glyphs[glyph]; }

// ---- published sets ----------------------------------------------------------------------------

void TMediaPlayer::SetVisibleButtons(TButtonSet value) {
    m_visibleButtons = value;
    for (int kind = 0; kind < MPButtonKinds; ++kind) m_slots[kind].IsVisible = value.Contains(Kind(kind));
    FitWidth();
}

void TMediaPlayer::SetEnabledButtons(TButtonSet value) {
    m_enabledButtons = value;
    for (int kind = 0; kind < MPButtonKinds; ++kind) m_slots[kind].IsEnabled = value.Contains(Kind(kind));
    update();
}

void TMediaPlayer::SetColoredButtons(TButtonSet value) {
    m_coloredButtons = value;
    for (int kind = 0; kind < MPButtonKinds; ++kind) m_slots[kind].IsColored = value.Contains(Kind(kind));
    update();
}

void TMediaPlayer::SetAutoEnable(bool value) {
    if (value == m_autoEnable) return;
    m_autoEnable = value;
    if (value)
        RefreshAutoFlags();
    else
        SetEnabledButtons(m_enabledButtons);
}

void TMediaPlayer::RefreshAutoFlags() {
    for (int kind = 0; kind < MPButtonKinds; ++kind) m_slots[kind].IsAuto = m_autoButtons.Contains(Kind(kind));
    update();
}

void TMediaPlayer::AdjustAutoButtons(TMPBtnType button) {
    switch (button) {
        case btPlay:
        case btRecord:
            m_autoButtons = m_autoButtons - TButtonSet{btPlay, btRecord} + TButtonSet{btPause, btStop};
            break;
        case btPause:
            if (m_canPlay) m_autoButtons.Include(btPlay);
            if (m_canRecord) m_autoButtons.Include(btRecord);
            break;
        default:
            if (m_canPlay) m_autoButtons.Include(btPlay);
            if (m_canRecord) m_autoButtons.Include(btRecord);
            m_autoButtons = m_autoButtons - TButtonSet{btPause, btStop};
            break;
    }
}

int TMediaPlayer::VisibleCount() const {
    int n = 0;
    for (const auto& slot : m_slots) n += slot.IsVisible;
    return n == 0 ? 1 : n;
}

bool TMediaPlayer::IsAvailable(TMPBtnType kind) const {
    return m_autoEnable ? m_slots[kind].IsAuto : m_slots[kind].IsEnabled;
}

// ---- geometry ----------------------------------------------------------------------------------

// Before the first size there is no button width to keep: the width then comes out below the
// minimum and the first size notification raises it to the minimum for the new set.
void TMediaPlayer::FitWidth() {
    resize(std::max(0, VisibleCount() * (m_buttonWidth - 1) + 1), height());
    update();
}

// The own window comes into being at its first size or at its first use as callback window; that
// is the bar's first size notification.
void TMediaPlayer::EnsureWindow() {
    if (m_windowExists) return;
    m_windowExists = true;
    ApplySizeRule();
}

DWORD_PTR TMediaPlayer::Callback() {
    EnsureWindow();
    return mciCallbackOf(this);
}

void TMediaPlayer::resize(int w, int h) {
    QWidget::resize(w, h);
    if (m_windowExists && !isVisible()) ApplySizeRule();
}

void TMediaPlayer::setGeometry(int x, int y, int w, int h) {
    QWidget::setGeometry(x, y, w, h);
    if (m_windowExists && !isVisible()) ApplySizeRule();
}

// The width is cut down to what the buttons tile exactly, at least the minimum.
void TMediaPlayer::ApplySizeRule() {
    const int n = VisibleCount();
    m_buttonWidth = (width() - 1) / n + 1;
    int w = n * (m_buttonWidth - 1) + 1;
    w = std::max(w, n * (m_minButtonSize.X - 1) + 1);
    const int h = std::max(height(), int(m_minButtonSize.Y));
    if (w == width() && h == height()) return;
    QWidget::setGeometry(x(), y(), w, h);
    // Qt does not deliver the nested size notification while a widget is being shown, so the
    // button width follows the corrected width here as well.
    m_buttonWidth = (width() - 1) / n + 1;
}

void TMediaPlayer::resizeEvent(QResizeEvent*) {
    fw::guard([&] {
        m_windowExists = true;
        ApplySizeRule();
    });
}

// ---- painting ----------------------------------------------------------------------------------

void TMediaPlayer::paintEvent(QPaintEvent*) {
    fw::guard([&] {
        QPainter painter(this);
        FrameRect(painter, 0, 0, width(), height(), fw::clWindowFrame);
        int x = 0;
        for (int kind = 0; kind < MPButtonKinds; ++kind) {
            if (!m_slots[kind].IsVisible) continue;
            PaintButton(painter, Kind(kind), x);
            x += m_buttonWidth - 1;
        }
    });
}

GlyphKind TMediaPlayer::GlyphFor(TMPBtnType kind) const {
    if (!isEnabled()) return glDisabled;
    if (!IsAvailable(kind)) return glDisabled;
    return m_slots[kind].IsColored ? glColored : glEnabled;
}

void TMediaPlayer::PaintButton(QPainter& painter, TMPBtnType kind, int x) {
    const bool pressed = m_shownPressed && kind == m_activeButton;
    const int bw = m_buttonWidth;
    const int h = height();
    painter.fillRect(x, 0, bw, h, fw::clBtnFace);
    FrameRect(painter, x, 0, x + bw, h, fw::clWindowFrame);
    if (pressed) {
        Line(painter, x + 1, h - 2, x + 1, 1, fw::clBtnShadow);
        Line(painter, x + 1, 1, x + bw - 1, 1, fw::clBtnShadow);
    } else {
        Line(painter, x + 1, h - 2, x + 1, 1, fw::clBtnHighlight);
        Line(painter, x + 1, 1, x + bw - 1, 1, fw::clBtnHighlight);
        Line(painter, x + 2, h - 2, x + bw - 2, h - 2, fw::clBtnShadow);
        Line(painter, x + bw - 2, h - 2, x + bw - 2, 1, fw::clBtnShadow);
    }
    const QImage& glyph = m_slots[kind].KeyedGlyphs[GlyphFor(kind)];
    int bx = bw / 2 - glyph.width() / 2;
    int by = h / 2 - glyph.height() / 2;
    if (pressed) ++bx, ++by;
    if (!glyph.isNull()) painter.drawImage(x + bx, by, glyph);
    if (hasFocus() && kind == m_focusButton) {
        QRect focus(x + 3, 3, bw - 6, h - 6);
        if (pressed) focus.translate(1, 1);
        DrawFocusRect(painter, focus);
    }
}

// Only the pressed button's look changed; the rest of the bar is left alone.
void TMediaPlayer::PaintButtonAtOnce(int x) { repaint(QRect(x, 0, m_buttonWidth, height())); }

// ---- mouse -------------------------------------------------------------------------------------

void TMediaPlayer::PressAt(int x) {
    const int bw = m_buttonWidth;
    int left = 0;
    int hit = -1;
    for (int kind = 0; kind < MPButtonKinds; ++kind) {
        if (!m_slots[kind].IsVisible) continue;
        if (left <= x && x < left + bw) {
            hit = kind;
            break;
        }
        left += bw - 1;
    }
    if (hit < 0 || !IsAvailable(Kind(hit))) return;
    m_activeButton = Kind(hit);
    if (m_activeButton != m_focusButton) {
        m_focusButton = m_activeButton;
        repaint();
    }
    m_pressRect = QRect(left, 0, bw, height());
    m_tracking = true;
    m_shownPressed = true;
    PaintButtonAtOnce(left);
    // The mouse stays with the bar until the release: Qt grabs it implicitly on a press.
}

void TMediaPlayer::MoveTo(QPoint point) {
    if (!m_tracking) return;
    const bool inside = m_pressRect.contains(point);
    if (inside == m_shownPressed) return;
    m_shownPressed = inside;
    PaintButtonAtOnce(m_pressRect.left());
}

void TMediaPlayer::Release() {
    struct EndTracking {
        bool& tracking;
        ~EndTracking() { tracking = false; }
    } end{m_tracking};
    if (!m_tracking || !m_shownPressed) return;
    m_shownPressed = false;
    PaintButtonAtOnce(m_pressRect.left());
    ClickButton();
    AfterClickUpdate();
}

void TMediaPlayer::AfterClickUpdate() {
    if (!m_autoEnable || m_lastError != 0 || !m_open) return;
    AdjustAutoButtons(m_activeButton);
    RefreshAutoFlags();
}

void TMediaPlayer::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const int x = qint16(event->position().toPoint().x());
    fw::guard([&] { PressAt(x); });
}

void TMediaPlayer::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void TMediaPlayer::mouseMoveEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    fw::guard([&] { MoveTo(point); });
}

void TMediaPlayer::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    fw::guard([&] { Release(); });
}

// ---- keyboard and focus ------------------------------------------------------------------------

void TMediaPlayer::MoveFocus(int direction) {
    for (int kind = int(m_focusButton) + direction; kind >= 0 && kind < MPButtonKinds; kind += direction) {
        if (!m_slots[kind].IsVisible) continue;
        m_focusButton = Kind(kind);
        update();
        return;
    }
}

void TMediaPlayer::KeyDown(int key) {
    switch (key) {
        case Qt::Key_Left: MoveFocus(-1); break;
        case Qt::Key_Right: MoveFocus(+1); break;
        case Qt::Key_Space:
            if (!IsAvailable(m_focusButton)) break;
            m_activeButton = m_focusButton;
            ClickButton();
            AfterClickUpdate();
            break;
        default: break;
    }
}

static bool IsBarKey(int key) { return key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Space; }

void TMediaPlayer::keyPressEvent(QKeyEvent* event) {
    if (!IsBarKey(event->key())) {
        QWidget::keyPressEvent(event);
        return;
    }
    const int key = event->key();
    fw::guard([&] { KeyDown(key); });
}

void TMediaPlayer::focusInEvent(QFocusEvent*) { repaint(); }
void TMediaPlayer::focusOutEvent(QFocusEvent*) { repaint(); }

bool TMediaPlayer::event(QEvent* event) {
    if (event->type() == MciNotifyEvent::eventType()) {
        fw::guard([&] { Notified(static_cast<const MciNotifyEvent&>(*event)); });
        return true;
    }
    // The arrow keys and Space belong to the bar, not to a shortcut or a dialog's navigation.
    if (event->type() == QEvent::ShortcutOverride && IsBarKey(static_cast<QKeyEvent*>(event)->key())) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

// ---- the click sequence ------------------------------------------------------------------------

void TMediaPlayer::ButtonClick(TMPBtnType button, bool& DoDefault) {
    if (OnClick) OnClick(this, button, DoDefault);
}

void TMediaPlayer::ButtonPostClick(TMPBtnType button) {
    if (OnPostClick) OnPostClick(this, button);
}

void TMediaPlayer::ClickButton() {
    bool doDefault = true;
    ButtonClick(m_activeButton, doDefault);
    if (!doDefault) return;
    switch (m_activeButton) {
        case btPlay: Play(); break;
        case btPause: TogglePause(); break;
        case btStop: Stop(); break;
        case btNext: Next(); break;
        case btPrev: Previous(); break;
        case btStep: Step(); break;
        case btBack: Back(); break;
        case btRecord: Record(); break;
        case btEject: Eject(); break;
    }
    ButtonPostClick(m_activeButton);
}
