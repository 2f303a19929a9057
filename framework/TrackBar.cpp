#include "TrackBar.h"

#include "Application.h"

#include <QResizeEvent>
#include <QSlider>
#include <algorithm>

namespace fw {

TrackBar::TrackBar(QWidget* parent)
    : Control<QWidget>(parent), m_slider(new QSlider(this)) {
    m_slider->setRange(0, 10);
    m_slider->setSingleStep(1);
    m_slider->setTracking(true);
    setFocusProxy(m_slider);
    setFocusPolicy(Qt::StrongFocus);
    // actionTriggered comes for every user step (keys, wheel, groove clicks, drag moves);
    // sliderReleased is the end of a drag, which is a notification of its own.
    connect(m_slider, &QAbstractSlider::actionTriggered, this, [this] { userScrolled(); });
    connect(m_slider, &QAbstractSlider::sliderReleased, this, [this] { userScrolled(); });
    applyOrientation();
    resize(150, 45);
}

TrackBar::~TrackBar() = default;

int TrackBar::minimum() const { return m_slider->minimum(); }
int TrackBar::maximum() const { return m_slider->maximum(); }

// During a user action the slider has already moved its sliderPosition but not yet its value,
// so the handler must see sliderPosition to read the new place.
int TrackBar::position() const { return m_slider->sliderPosition(); }

void TrackBar::setMinimum(int minimum) { changeRange(minimum, std::max(minimum, maximum())); }

void TrackBar::setMaximum(int maximum) { changeRange(std::min(minimum(), maximum), maximum); }

void TrackBar::setPosition(int position) {
    const int before = this->position();
    m_slider->setValue(std::clamp(position, minimum(), maximum()));
    if (this->position() != before) changed();
}

void TrackBar::changeRange(int minimum, int maximum) {
    const int before = position();
    m_slider->setRange(minimum, maximum);  // clamps the value to the nearer end
    const qint64 span = qint64(maximum) - minimum;
    m_slider->setPageStep(int(std::max<qint64>(1, span / 5)));
    applyTicks();
    if (position() != before) changed();
}

void TrackBar::setOrientation(Qt::Orientation orientation) {
    if (orientation == m_orientation) return;
    m_orientation = orientation;
    applyOrientation();
    resize(height(), width());
}

void TrackBar::applyOrientation() {
    const bool vertical = m_orientation == Qt::Vertical;
    m_slider->setOrientation(m_orientation);
    // A vertical slider counts downward: minimum at the top, Down and PageDown move forward.
    m_slider->setInvertedAppearance(vertical);
    m_slider->setInvertedControls(vertical);
    applyTicks();
}

void TrackBar::setFrequency(int frequency) {
    if (frequency == m_frequency) return;
    m_frequency = frequency;
    applyTicks();
}

void TrackBar::setTickMarks(TickMarks marks) {
    if (marks == m_tickMarks) return;
    m_tickMarks = marks;
    applyTicks();
}

void TrackBar::setTickStyle(TickStyle style) {
    if (style == m_tickStyle) return;
    m_tickStyle = style;
    applyTicks();
}

void TrackBar::applyTicks() {
    if (m_tickStyle == TickStyle::tsNone || m_frequency <= 0) {
        m_slider->setTickPosition(QSlider::NoTicks);
        return;
    }
    switch (m_tickMarks) {
    case TickMarks::tmBottomRight: m_slider->setTickPosition(QSlider::TicksBelow); break;
    case TickMarks::tmTopLeft: m_slider->setTickPosition(QSlider::TicksAbove); break;
    case TickMarks::tmBoth: m_slider->setTickPosition(QSlider::TicksBothSides); break;
    }
    // Marks closer than two pixels blur into a bar anyway; drawing each costs a line per frame.
    const int length = std::max(1, m_orientation == Qt::Vertical ? height() : width());
    const qint64 span = qint64(maximum()) - minimum();
    const qint64 densest = span / std::max(1, length / 2) + 1;
    m_slider->setTickInterval(int(std::max<qint64>(m_frequency, densest)));
}

void TrackBar::resizeEvent(QResizeEvent* event) {
    m_slider->setGeometry(0, 0, event->size().width(), event->size().height());
    applyTicks();
}

void TrackBar::userScrolled() {
    if (OnChange) guard([this] { OnChange(this); });
}

void TrackBar::changed() {
    if (OnChange) OnChange(this);
}

}  // namespace fw
