#include "Label.h"

namespace fw {

Label::Label(QWidget* parent) : Control<QLabel>(parent) {
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

Label::Label(const QString& caption, QWidget* parent) : Label(parent) { setText(caption); }

}  // namespace fw
