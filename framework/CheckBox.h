// A check box. OnClick runs (through fw::guard) when the user toggles it; setChecked from code
// runs nothing.
#pragma once

#include "Control.h"
#include "Events.h"

#include <QCheckBox>

namespace fw {

class CheckBox : public Control<QCheckBox> {
public:
    explicit CheckBox(QWidget* parent = nullptr);
    CheckBox(const QString& caption, QWidget* parent);

    TNotifyEvent OnClick;
};

}  // namespace fw
