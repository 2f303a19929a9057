// The zoom: the slider Scalbar (-8 .. 8) scales the picture from a third to three times its
// natural size, and the window with it (TTavolenForm::ScalbarChange, in TavolenZoom.cpp). The
// arithmetic is kept apart from the window so each rule can be checked on its own; it is pure
// and may be called from any thread.
#pragma once

#include <QSize>
#include <QString>
#include <cstdint>

// Zoom slider position p (-8 .. 8) to factor: p / 4 + 1 above the middle, its reciprocal below.
double ZoomFactor(int p);
// "x" and the factor with 15 significant digits, no trailing zeros, a point as separator.
QString ZoomText(double k);
// Nearest integer, an exact half going to the even neighbour; clamped to the 32-bit range.
std::int32_t RoundHalfEven(double value);
// The natural size scaled by k, each side rounded half to even.
QSize ScaledSize(QSize natural, double k);
