// The client area of a Form: paints the form's background, hands repaints and clicks outside
// any control to the form. Owned by its Form; UI thread only.
#pragma once

#include <QWidget>

namespace fw {

class Form;

class FormClient : public QWidget {
public:
    explicit FormClient(Form* form);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    Form* m_form;
    bool m_pressed = false;  // a left press began outside every control
};

}  // namespace fw
