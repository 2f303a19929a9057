// A player window started against the scripted media service and the scripted modal host,
// on files that exist (empty: the scripted service never reads them).
#pragma once

#include "ScriptedMci.h"
#include "ScriptedModal.h"
#include "TavolenPlay.h"
#include "Bevel.h"
#include "CheckBox.h"
#include "Edit.h"
#include "FileDialog.h"
#include "Timer.h"
#include "TrackBar.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

class PlayerWindow : public ::testing::Test {
protected:
    ScriptedMci mci;
    ScriptedModal modal;
    QTemporaryDir dir;
    std::unique_ptr<TTavolenForm> form;

    // A file that exists in the test's folder.
    QString file(const QString& name) {
        const QString path = dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        return path;
    }

    void picture(int width, int height) {
        mci.device.hasVideo = width > 0;
        mci.device.source = RECT{0, 0, width, height};
        mci.device.destination = RECT{0, 0, width, height};
    }

    // Creates the window on the arguments and shows it, as the program does.
    TTavolenForm& start(const QStringList& arguments) {
        form = std::make_unique<TTavolenForm>(arguments);
        if (!form->StartCancelled()) {
            form->show();
            EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        }
        return *form;
    }

    // Started on `name`, the start timer's tick already run, the command record cleared.
    TTavolenForm& playing(const QString& name = QStringLiteral("clip.avi")) {
        start({file(name)});
        form->Timer2Timer(form->Timer2);
        mci.clear();
        return *form;
    }

    // File > Open answered with `path`, through the menu item as the user would.
    void openFromMenu(const QString& path) {
        modal.answers.push_back(path);
        form->KO1->trigger();
    }

    // The file the last MCI_OPEN named; empty when none was sent.
    QString openedElement() const {
        const MciCall* open = mci.last(MCI_OPEN);
        return open && open->element ? QString::fromStdString(*open->element) : QString();
    }

    std::vector<QString> messages() const { return modal.texts(fw::BoxKind::Message); }
    std::vector<QString> errors() const { return modal.texts(fw::BoxKind::Error); }
};
