// Types into the go-to dialog the way a user does: opens it from its menu item, and for each
// text fills the box and presses Enter, noting whether the dialog stayed open. A dialog still
// open after the last text is cancelled.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include "GoToFrameDialog.h"
#include "TavolenPlay.h"

inline std::vector<bool> TypeIntoGoTo(TTavolenForm& form, const QStringList& texts) {
    std::vector<bool> stayedOpen;
    QTimer::singleShot(0, [&] {
        auto* dialog = dynamic_cast<TGoToFrameDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return ADD_FAILURE() << "no go-to dialog";
        EXPECT_EQ(dialog->focusWidget(), dialog->FrameText);
        for (const QString& text : texts) {
            dialog->FrameText->setText(text);
            QTest::keyClick(dialog->FrameText, Qt::Key_Return);
            stayedOpen.push_back(dialog->isVisible());
            if (!dialog->isVisible()) return;
        }
        dialog->reject();
    });
    form.GoToFrame1->trigger();
    return stayedOpen;
}
