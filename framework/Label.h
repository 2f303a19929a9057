// A static text in the parent's font and colour, drawn over the parent's background.
#pragma once

#include "Control.h"

#include <QLabel>

namespace fw {

class Label : public Control<QLabel> {
public:
    explicit Label(QWidget* parent = nullptr);
    Label(const QString& caption, QWidget* parent);
};

}  // namespace fw
