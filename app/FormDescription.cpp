#include "FormDescription.h"

#include "Colors.h"
#include "Edit.h"
#include "FileDialog.h"
#include "Fonts.h"
#include "Form.h"
#include "Timer.h"

#include <QVariant>
#include <QWidget>
#include <map>

QColor DescribedColor(const QString& name) {
    static const std::map<QString, QColor> colours = {
        {QStringLiteral("clBtnFace"), fw::clBtnFace},       {QStringLiteral("clBtnShadow"), fw::clBtnShadow},
        {QStringLiteral("clBtnHighlight"), fw::clBtnHighlight}, {QStringLiteral("clWindow"), fw::clWindow},
        {QStringLiteral("clWindowText"), fw::clWindowText}, {QStringLiteral("clWindowFrame"), fw::clWindowFrame},
        {QStringLiteral("clBlack"), fw::clBlack},           {QStringLiteral("clLime"), fw::clLime},
        {QStringLiteral("clWhite"), fw::clWhite},
    };
    const auto found = colours.find(name);
    return found == colours.end() ? QColor() : found->second;
}

static QVariant described(const QObject* object, const QString& name) {
    return object->property(name.toLatin1().constData());
}

static void setTextColour(QWidget* widget, const QColor& colour) {
    if (auto* edit = dynamic_cast<fw::Edit*>(widget)) {
        edit->setFontColor(colour);
        return;
    }
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

// The font of one widget; the others inherit their parent's, as designed.
static void applyFont(QWidget* widget, QWidget* fontTarget) {
    const QVariant family = described(widget, QStringLiteral("FontName"));
    if (family.isValid())
        fontTarget->setFont(fw::mapFont(family.toString(),
                                        described(widget, QStringLiteral("FontHeight")).toInt(),
                                        described(widget, QStringLiteral("FontItalic")).toBool()));
    const QColor text = DescribedColor(described(widget, QStringLiteral("FontColor")).toString());
    if (text.isValid()) setTextColour(fontTarget, text);
}

static void applyControl(QWidget* widget) {
    applyFont(widget, widget);
    const QColor background = DescribedColor(described(widget, QStringLiteral("Color")).toString());
    if (!background.isValid()) return;
    if (auto* edit = dynamic_cast<fw::Edit*>(widget)) {
        edit->setColor(background);
        return;
    }
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, background);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void ApplyFormDescription(fw::Form& form, QWidget* root) {
    form.setCaption(root->windowTitle());
    form.setClientSize(root->width(), root->height());
    if (described(root, QStringLiteral("BorderStyle")).toString() == QLatin1String("bsToolWindow"))
        form.setBorderStyle(fw::FormBorderStyle::bsToolWindow);
    if (described(root, QStringLiteral("Position")).toString() == QLatin1String("poScreenCenter"))
        form.setPosition(fw::FormPosition::poScreenCenter);
    const QColor colour = DescribedColor(described(root, QStringLiteral("Color")).toString());
    if (colour.isValid()) form.setColor(colour);
    applyFont(root, &form);
    for (QWidget* child : root->findChildren<QWidget*>()) applyControl(child);
}

void ApplyTimerDescription(fw::Timer& timer, const QWidget* root, const char* component) {
    const QString prefix = QString::fromLatin1(component);
    const QVariant interval = described(root, prefix + QStringLiteral("Interval"));
    if (interval.isValid()) timer.setInterval(interval.toInt());
    const QVariant enabled = described(root, prefix + QStringLiteral("Enabled"));
    if (enabled.isValid()) timer.setEnabled(enabled.toBool());
}

void ApplyDialogDescription(fw::FileDialog& dialog, const QWidget* root, const char* component) {
    const QString prefix = QString::fromLatin1(component);
    const QVariant ext = described(root, prefix + QStringLiteral("DefaultExt"));
    if (ext.isValid()) dialog.setDefaultExt(ext.toString());
    const QVariant filter = described(root, prefix + QStringLiteral("Filter"));
    if (filter.isValid()) dialog.setFilter(filter.toString());
    const QVariant index = described(root, prefix + QStringLiteral("FilterIndex"));
    if (index.isValid()) dialog.setFilterIndex(index.toInt());
    const QVariant options = described(root, prefix + QStringLiteral("Options"));
    if (!options.isValid()) return;
    const QStringList names = options.toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
    fw::FileDialogOptions o;
    o.fileMustExist = names.contains(QLatin1String("ofFileMustExist"));
    o.pathMustExist = names.contains(QLatin1String("ofPathMustExist"));
    o.overwritePrompt = names.contains(QLatin1String("ofOverwritePrompt"));
    o.hideReadOnly = names.contains(QLatin1String("ofHideReadOnly"));
    dialog.setOptions(o);
}
