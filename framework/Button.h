// A push button. OnClick runs (through fw::guard) when the user clicks it or presses it with
// the keyboard; Sender is the button.
#pragma once

#include "Control.h"
#include "Events.h"

#include <QPushButton>

namespace fw {

class Button : public Control<QPushButton> {
public:
    explicit Button(QWidget* parent = nullptr);
    Button(const QString& caption, QWidget* parent);

    QString caption() const { return text(); }
    void setCaption(const QString& caption) { setText(caption); }

    TNotifyEvent OnClick;
};

}  // namespace fw
