// Placement of a control inside its parent, in the parent's client pixels, as window
// descriptions and layout rules speak of it: left, top, width, height, each settable alone.
// Every control of the framework is a Control<SomeQtWidget>, so the Qt widget's own API stays
// available next to these. UI thread only.
#pragma once

#include <QWidget>

namespace fw {

template <class Base>
class Control : public Base {
public:
    using Base::Base;

    int left() const { return this->x(); }
    int top() const { return this->y(); }
    void setLeft(int left) { this->move(left, this->y()); }
    void setTop(int top) { this->move(this->x(), top); }
    void setWidth(int width) { this->resize(width, this->height()); }
    void setHeight(int height) { this->resize(this->width(), height); }
    void setBounds(int left, int top, int width, int height) {
        this->setGeometry(left, top, width, height);
    }
};

}  // namespace fw
