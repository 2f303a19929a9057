// The widget a device's picture is drawn on: a child of the display window at the destination
// rectangle. It paints every one of its pixels (black where there is no picture), so Qt never
// repaints the window beneath it, and lets the mouse through, so a click on the picture is a
// click on the window. UI thread only.
#pragma once

#include <QImage>
#include <QWidget>

namespace mci {

class VideoSurface final : public QWidget {
    Q_OBJECT
public:
    explicit VideoSurface(QWidget* parent);

    // The picture converted at (normally) this surface's size; a queued repaint follows.
    void setImage(const QImage& image);
    // The picture the surface shows; tests read the frame number from it.
    const QImage& image() const { return m_image; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_image;
};

}  // namespace mci
