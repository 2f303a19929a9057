#include "CheckBox.h"

#include "Application.h"

namespace fw {

CheckBox::CheckBox(QWidget* parent) : Control<QCheckBox>(parent) {
    connect(this, &QCheckBox::clicked, this, [this] {
        if (OnClick) guard([this] { OnClick(this); });
    });
}

CheckBox::CheckBox(const QString& caption, QWidget* parent) : CheckBox(parent) {
    setText(caption);
}

}  // namespace fw
