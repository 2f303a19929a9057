#include "Button.h"

#include "Application.h"

namespace fw {

Button::Button(QWidget* parent) : Control<QPushButton>(parent) {
    setAutoDefault(false);
    connect(this, &QPushButton::clicked, this, [this] {
        if (OnClick) guard([this] { OnClick(this); });
    });
}

Button::Button(const QString& caption, QWidget* parent) : Button(parent) { setText(caption); }

}  // namespace fw
