#include "VideoSurface.h"

#include <QPainter>

namespace mci {

VideoSurface::VideoSurface(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("mciVideoSurface"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void VideoSurface::setImage(const QImage& image) {
    m_image = image;
    update();
}

void VideoSurface::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_image.isNull()) {
        painter.fillRect(rect(), Qt::black);
    } else if (m_image.size() == size()) {
        painter.drawImage(0, 0, m_image);
    } else {
        // Only between a resize and the picture converted at the new size.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(rect(), m_image);
    }
}

}  // namespace mci
