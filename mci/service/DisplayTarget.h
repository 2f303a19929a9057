// Where one device's picture goes: the window attached with MCI_WINDOW or, by default, the
// device's own top-level window, which is shown only once it has a picture to show. The
// picture sits on a VideoSurface child at the destination rectangle (MCI_PUT).
//
// Windows are not owned except the default one; an attached window may be destroyed at any
// time (the surface, its child, goes with it) and the next picture then goes to the default
// window. UI thread only.
#pragma once

#include "VideoSurface.h"

#include <QPointer>
#include <QRect>

namespace mci {

class DisplayTarget {
public:
    DisplayTarget(QSize naturalSize, const QString& title);
    ~DisplayTarget();
    DisplayTarget(const DisplayTarget&) = delete;
    DisplayTarget& operator=(const DisplayTarget&) = delete;

    // window nullptr = the default window. The shown picture moves along.
    void attach(QWidget* window);
    void setDestination(const QRect& rect);  // client coordinates; empty is allowed
    QRect destination() const { return m_destination; }

    // A new picture: shown now, and the default window appears if it is the display.
    void present(const QImage& image);
    // The same picture at another size (a late conversion): replaces it quietly.
    void replaceImage(const QImage& image);
    void repaint();  // MCI_UPDATE
    void setDefaultWindowVisible(bool visible);

    VideoSurface* surface() const { return m_surface.data(); }
    QWidget* defaultWindow() const { return m_defaultWindow.data(); }

private:
    QWidget* displayWindow();
    VideoSurface* ensureSurface();
    void placeSurface();

    QString m_title;
    QRect m_destination;
    QImage m_image;
    QPointer<QWidget> m_attached;
    QPointer<QWidget> m_defaultWindow;
    QPointer<VideoSurface> m_surface;
};

}  // namespace mci
