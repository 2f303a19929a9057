#include "Bevel.h"

#include "Colors.h"

#include <QPainter>

namespace fw {

Bevel::Bevel(QWidget* parent, BevelShape shape) : Control<QWidget>(parent), m_shape(shape) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Bevel::setShape(BevelShape shape) {
    if (shape == m_shape) return;
    m_shape = shape;
    update();
}

void Bevel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int w = width();
    const int h = height();
    // The etched look: the shadow line first, the highlight line one pixel further in or out.
    switch (m_shape) {
    case BevelShape::bsTopLine:
        painter.fillRect(0, 0, w, 1, clBtnShadow);
        painter.fillRect(0, 1, w, 1, clBtnHighlight);
        break;
    case BevelShape::bsBottomLine:
        painter.fillRect(0, h - 2, w, 1, clBtnShadow);
        painter.fillRect(0, h - 1, w, 1, clBtnHighlight);
        break;
    case BevelShape::bsLeftLine:
        painter.fillRect(0, 0, 1, h, clBtnShadow);
        painter.fillRect(1, 0, 1, h, clBtnHighlight);
        break;
    case BevelShape::bsRightLine:
        painter.fillRect(w - 2, 0, 1, h, clBtnShadow);
        painter.fillRect(w - 1, 0, 1, h, clBtnHighlight);
        break;
    }
}

}  // namespace fw
