#include "Exception.h"
#include "FileDialog.h"
#include "Modal.h"
#include "Files.h"
#include "Fonts.h"
#include "ScriptedModal.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(FileDialog, OpenRequestCarriesEveryPropertyAndFillsTheChosenName) {
    ScriptedModal modal;
    modal.answers.push_back(QStringLiteral("/v/b.mpg"));
    fw::OpenDialog dialog;
    const QString filter = QString::fromUtf8("Video for Windows|*.avi|すべてのファイル|*.*");
    dialog.setFilter(filter);
    dialog.setFilterIndex(1);
    dialog.setDefaultExt("avi");
    dialog.setInitialDir(fw::dialogInitialDir("/v/a.avi"));
    dialog.setOptions({.fileMustExist = true, .pathMustExist = true, .hideReadOnly = true});

    ASSERT_TRUE(dialog.execute());
    EXPECT_EQ(dialog.fileName(), "/v/b.mpg");
    ASSERT_EQ(modal.dialogs.size(), 1u);
    const fw::FileDialogRequest& request = modal.dialogs[0];
    EXPECT_EQ(request.kind, fw::FileDialogRequest::Kind::Open);
    EXPECT_EQ(request.filter, filter);
    EXPECT_EQ(request.filterIndex, 1);
    EXPECT_EQ(request.defaultExt, "avi");
    EXPECT_EQ(request.initialDir, "/v");
    EXPECT_TRUE(request.options.fileMustExist);
    EXPECT_TRUE(request.options.pathMustExist);
    EXPECT_TRUE(request.options.hideReadOnly);
    EXPECT_FALSE(request.options.overwritePrompt);
}

TEST(FileDialog, SaveProposesTheNameAndCancelChangesNothing) {
    ScriptedModal modal;  // no answer queued: the user cancels
    fw::SaveDialog dialog;
    dialog.setDefaultExt("idx");
    dialog.setOptions({.overwritePrompt = true, .hideReadOnly = true});
    dialog.setInitialDir(fw::dialogInitialDir("/v/clip..idx"));
    dialog.setFileName(fw::dialogFileName("/v/clip..idx"));

    EXPECT_FALSE(dialog.execute());
    EXPECT_EQ(dialog.fileName(), "clip..idx");
    ASSERT_EQ(modal.dialogs.size(), 1u);
    EXPECT_EQ(modal.dialogs[0].kind, fw::FileDialogRequest::Kind::Save);
    EXPECT_EQ(modal.dialogs[0].fileName, "clip..idx");
    EXPECT_EQ(modal.dialogs[0].initialDir, "/v");
    EXPECT_TRUE(modal.dialogs[0].options.overwritePrompt);
}

TEST(FileDialog, QtFiltersShowEveryFileUnderStarDotStar) {
    EXPECT_EQ(fw::qtNameFilters(QString::fromUtf8(
                  "mpeg1|*.mpg;*.mpeg|すべてのファイル|*.*|インデックス(*.idx)|*.idx")),
              QString::fromUtf8("mpeg1 (*.mpg *.mpeg);;すべてのファイル (*);;"
                                "インデックス(*.idx)"));
}

TEST(DialogFolder, UpToTheLastSlashWhichOnlyTheRootKeeps) {
    EXPECT_EQ(fw::dialogInitialDir("/v/a.avi"), "/v");
    EXPECT_EQ(fw::dialogInitialDir("/a.avi"), "/");
    EXPECT_EQ(fw::dialogInitialDir("a.avi"), "");
    EXPECT_EQ(fw::dialogInitialDir("/v/w/"), "/v/w");
    EXPECT_EQ(fw::dialogInitialDir("v/a.avi"), "v");
    EXPECT_EQ(fw::dialogFileName("/v/a.idx"), "a.idx");
    EXPECT_EQ(fw::dialogFileName("a.idx"), "a.idx");
    EXPECT_EQ(fw::dialogFileName("/v/"), "");
}

TEST(FileExists, AFileButNeverAFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QString::fromUtf8("動画 1.avi"));
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.close();
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.avi"));

    EXPECT_TRUE(fw::fileExists(file));
    EXPECT_FALSE(fw::fileExists(dir.filePath("folder.avi")));
    EXPECT_FALSE(fw::fileExists(dir.path()));
    EXPECT_FALSE(fw::fileExists(dir.filePath("missing.avi")));
    EXPECT_FALSE(fw::fileExists(""));
}

TEST(Fonts, DescribedFamiliesMapToInstalledOnesAtTheirPixelHeight) {
    const QFont gothic = fw::mapFont(QString::fromUtf8("ＭＳ Ｐゴシック"), -12);
    EXPECT_EQ(gothic.family(), "IPAPGothic");  // fonts-ipafont-gothic is a build dependency
    EXPECT_EQ(gothic.pixelSize(), 12);
    const QFont sans = fw::mapFont("MS Sans Serif", -13, true);
    EXPECT_TRUE(sans.family() == "DejaVu Sans" || sans.family() == "Liberation Sans");
    EXPECT_EQ(sans.pixelSize(), 13);
    EXPECT_TRUE(sans.italic());
    EXPECT_FALSE(sans.bold());
}

// The index window stays on top and lies centred where boxes and dialogs appear: each box and
// file dialog the program shows goes into the same layer, so it is shown above it.
TEST(ModalHost, BoxesAndDialogsStackAboveAWindowThatStaysOnTop) {
    QWidget index(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint);
    index.show();
    std::vector<Qt::WindowFlags> shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            shown.push_back(dialog->windowFlags());
            dialog->done(QDialog::Rejected);
        }
    });
    watch.start(10);
    fw::modalHost().showBox(fw::BoxKind::Error, "tavolen", "MCI デバイスがありません.");
    fw::modalHost().showBox(fw::BoxKind::Message, "tavolen", "たぼれん");
    fw::FileDialogRequest open;
    fw::modalHost().runFileDialog(open);
    fw::FileDialogRequest save;
    save.kind = fw::FileDialogRequest::Kind::Save;
    fw::modalHost().runFileDialog(save);
    ASSERT_EQ(shown.size(), 4u);
    for (const Qt::WindowFlags flags : shown) EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
}
