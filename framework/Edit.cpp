#include "Edit.h"

#include <QPalette>

namespace fw {

Edit::Edit(QWidget* parent) : Control<QLineEdit>(parent) {}

void Edit::setText(const QString& text) {
    if (text == QLineEdit::text()) return;
    QLineEdit::setText(text);
    setCursorPosition(0);
}

QColor Edit::color() const { return palette().color(QPalette::Base); }

void Edit::setColor(const QColor& background) {
    QPalette p = palette();
    p.setColor(QPalette::Base, background);
    setPalette(p);
}

QColor Edit::fontColor() const { return palette().color(QPalette::Text); }

void Edit::setFontColor(const QColor& text) {
    QPalette p = palette();
    p.setColor(QPalette::Text, text);
    setPalette(p);
}

}  // namespace fw
