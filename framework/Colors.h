// The named system colours the windows use, in one place. Classic desktop values, so that the
// bevels, the button face and the black-and-lime text boxes look the way they were designed.
#pragma once

#include <QColor>

namespace fw {

inline constexpr QColor clBtnFace{212, 208, 200};
inline constexpr QColor clBtnShadow{128, 128, 128};
inline constexpr QColor clBtnHighlight{255, 255, 255};
inline constexpr QColor clWindow{255, 255, 255};
inline constexpr QColor clWindowText{0, 0, 0};
inline constexpr QColor clWindowFrame{0, 0, 0};
inline constexpr QColor clBlack{0, 0, 0};
inline constexpr QColor clLime{0, 255, 0};
inline constexpr QColor clWhite{255, 255, 255};

}  // namespace fw
