// The single-line text box: editable or read-only, with its own background, text colour and
// font. setText rewrites the box only when the text differs, so a monitor that writes it every
// 30 ms neither flickers nor throws away the user's caret and selection. A new text shows from
// its beginning (a long text in a narrow box is cut at the right, not scrolled to its end).
// UI thread only.
#pragma once

#include "Control.h"

#include <QColor>
#include <QLineEdit>

namespace fw {

class Edit : public Control<QLineEdit> {
public:
    explicit Edit(QWidget* parent = nullptr);

    // Hides QLineEdit::setText on purpose: the same text is not written again.
    void setText(const QString& text);

    QColor color() const;            // background
    void setColor(const QColor& background);
    QColor fontColor() const;
    void setFontColor(const QColor& text);
};

}  // namespace fw
