#include "DisplayTarget.h"

#include <algorithm>

namespace mci {

DisplayTarget::DisplayTarget(QSize naturalSize, const QString& title)
    : m_title(title), m_destination(QPoint(0, 0), naturalSize) {}

DisplayTarget::~DisplayTarget() {
    delete m_surface.data();
    delete m_defaultWindow.data();
}

void DisplayTarget::attach(QWidget* window) {
    m_attached = window;
    if (window != nullptr && m_defaultWindow) m_defaultWindow->hide();
    if (m_surface) {
        m_surface->setParent(displayWindow());
        placeSurface();
    } else if (window != nullptr && !m_image.isNull()) {
        ensureSurface();
    }
}

void DisplayTarget::setDestination(const QRect& rect) {
    m_destination = rect;
    if (m_surface) placeSurface();
    if (m_defaultWindow && !m_attached) {
        m_defaultWindow->resize(std::max(1, rect.right() + 1), std::max(1, rect.bottom() + 1));
    }
}

void DisplayTarget::present(const QImage& image) {
    m_image = image;
    ensureSurface()->setImage(image);
    if (!m_attached && m_defaultWindow) m_defaultWindow->show();
}

void DisplayTarget::replaceImage(const QImage& image) {
    m_image = image;
    if (m_surface) m_surface->setImage(image);
}

void DisplayTarget::repaint() {
    if (m_image.isNull()) return;
    ensureSurface()->setImage(m_image);
}

void DisplayTarget::setDefaultWindowVisible(bool visible) {
    if (m_attached) return;
    if (visible) {
        displayWindow()->show();
    } else if (m_defaultWindow) {
        m_defaultWindow->hide();
    }
}

QWidget* DisplayTarget::displayWindow() {
    if (m_attached) return m_attached.data();
    if (!m_defaultWindow) {
        m_defaultWindow = new QWidget(nullptr);
        m_defaultWindow->setObjectName(QStringLiteral("mciDefaultWindow"));
        m_defaultWindow->setWindowTitle(m_title);
        m_defaultWindow->resize(std::max(1, m_destination.right() + 1),
                                std::max(1, m_destination.bottom() + 1));
    }
    return m_defaultWindow.data();
}

VideoSurface* DisplayTarget::ensureSurface() {
    QWidget* window = displayWindow();
    if (!m_surface) {
        m_surface = new VideoSurface(window);
        m_surface->setImage(m_image);
    } else if (m_surface->parentWidget() != window) {
        m_surface->setParent(window);
    }
    placeSurface();
    return m_surface.data();
}

void DisplayTarget::placeSurface() {
    m_surface->setGeometry(m_destination);
    m_surface->setVisible(!m_destination.isEmpty());
}

}  // namespace mci
