#include "FormClient.h"

#include "Form.h"

#include <QMouseEvent>
#include <QPaintEvent>

namespace fw {

FormClient::FormClient(Form* form) : QWidget(form), m_form(form) {
    setAutoFillBackground(true);
}

void FormClient::paintEvent(QPaintEvent* event) { m_form->clientPainted(event->rect()); }

// A click is a press and a release of the left button, both on the bare client area; controls
// take their own presses, so one that reaches here outside every child is the form's.
void FormClient::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    m_pressed = event->button() == Qt::LeftButton && childAt(at) == nullptr;
    QWidget::mousePressEvent(event);
}

void FormClient::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    if (click) m_form->clientClicked();
    QWidget::mouseReleaseEvent(event);
}

}  // namespace fw
