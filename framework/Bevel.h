// A bevel line: a two-pixel etched line (shadow, then highlight) along one edge of its box.
// bsTopLine and bsBottomLine run along the top or bottom edge, bsLeftLine and bsRightLine
// along the left or right edge. A bevel is decoration: mouse events pass through it to the
// parent, so a click on it counts as a click on the form.
#pragma once

#include "Control.h"

#include <QWidget>

namespace fw {

enum class BevelShape { bsTopLine, bsBottomLine, bsLeftLine, bsRightLine };

class Bevel : public Control<QWidget> {
public:
    explicit Bevel(QWidget* parent = nullptr, BevelShape shape = BevelShape::bsTopLine);

    BevelShape shape() const { return m_shape; }
    void setShape(BevelShape shape);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    BevelShape m_shape;
};

}  // namespace fw
