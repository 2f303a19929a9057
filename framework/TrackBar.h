// The slider. A widget holding a QSlider that fills it; the slider's range, position and
// orientation are this control's, with the behaviour the windows rely on:
//
// - The position always lies inside [minimum, maximum]; setting it outside clamps it, and a
//   range change that leaves it outside moves it to the nearer end. Setting a minimum above
//   the maximum raises the maximum with it (and the reverse), so the range is never empty.
// - OnChange runs on every scroll notification the user causes (mouse on the groove or the
//   thumb, wheel, keys, each step of a drag and once more when a drag ends, position unchanged
//   or not), and whenever the position is set to, or clamped to, a different value. Setting the
//   value it already has runs nothing. Inside OnChange, position() is already the new value.
// - Changing the orientation exchanges width and height; setting the orientation it already
//   has changes nothing.
// - A vertical slider has its minimum at the top, and Down/PageDown move toward the maximum.
// - Tick marks: frequency and TickMarks/TickStyle. With tsAuto a mark is drawn every
//   `frequency` positions, thinned when they would lie closer than two pixels (a long clip
//   with frequency 1 would otherwise draw one line per frame on every repaint).
//
// UI thread only. OnChange runs through fw::guard when Qt calls it; on a programmatic set it
// runs directly inside the setter, so an exception reaches the setter's caller.
#pragma once

#include "Control.h"
#include "Events.h"

#include <QWidget>

class QSlider;

namespace fw {

enum class TickMarks { tmBottomRight, tmTopLeft, tmBoth };
enum class TickStyle { tsNone, tsAuto };

class TrackBar : public Control<QWidget> {
public:
    explicit TrackBar(QWidget* parent = nullptr);
    ~TrackBar() override;

    int minimum() const;
    int maximum() const;
    int position() const;
    void setMinimum(int minimum);
    void setMaximum(int maximum);
    void setPosition(int position);

    Qt::Orientation orientation() const { return m_orientation; }
    void setOrientation(Qt::Orientation orientation);

    int frequency() const { return m_frequency; }
    void setFrequency(int frequency);
    TickMarks tickMarks() const { return m_tickMarks; }
    void setTickMarks(TickMarks marks);
    TickStyle tickStyle() const { return m_tickStyle; }
    void setTickStyle(TickStyle style);

    // The slider inside, for tests that drive it with QTest.
    QSlider* slider() const { return m_slider; }

    TNotifyEvent OnChange;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void userScrolled();
    void changeRange(int minimum, int maximum);
    void applyOrientation();
    void applyTicks();
    void changed();

    QSlider* m_slider = nullptr;
    Qt::Orientation m_orientation = Qt::Horizontal;
    int m_frequency = 1;
    TickMarks m_tickMarks = TickMarks::tmBottomRight;
    TickStyle m_tickStyle = TickStyle::tsAuto;
};

}  // namespace fw
