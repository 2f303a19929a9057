// What a window description states beyond Qt's own properties: named system colours, fonts
// given by family and pixel height, the form's border, position and colour, and the designed
// properties of the non-visual components (timers and file dialogs), which the description
// keeps as dynamic properties of its root widget under "<component><Property>" names.
//
// The description's root is the form's client area (setupUi runs on Form::client()).
// UI thread only. A property the description does not state leaves the target as it is.
#pragma once

#include <QColor>
#include <QString>

class QWidget;

namespace fw {
class FileDialog;
class Form;
class Timer;
}  // namespace fw

// A system colour by name ("clBtnFace", "clBlack", "clLime" ...); an invalid colour for an
// unknown name.
QColor DescribedColor(const QString& name);

// Applies the form's own properties (caption, client size, border, position, colour, font)
// from the root, then the font and colours of every widget below it that states them.
void ApplyFormDescription(fw::Form& form, QWidget* root);

// Interval and Enabled of a timer named `component` in the description.
void ApplyTimerDescription(fw::Timer& timer, const QWidget* root, const char* component);

// DefaultExt, Filter, FilterIndex and Options ("ofFileMustExist,..."), likewise.
void ApplyDialogDescription(fw::FileDialog& dialog, const QWidget* root, const char* component);
