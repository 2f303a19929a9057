// The inspection tools through the player window on the scripted service: go to a frame, keeping
// the frame as a file or on the clipboard, the frame information window, and stepping with "." /
// "," and the wheel from every control.
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QWheelEvent>

#include "FrameInfoWindow.h"
#include "GoToDriver.h"
#include "PlayerWindowFixture.h"

QImage numberedPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.setPixel(x, y, qRgb(x * 7, y * 5, (x ^ y) & 0xFF));
    return image;
}

TEST_F(PlayerWindow, GoToFrameRefusesWhatIsNoFrameAndLandsPausedOnTheOneItNames) {
    picture(320, 240);
    mci.device.length = 300;  // 12 s of 40 ms frames
    playing();
    ASSERT_EQ(mci.device.mode, MCI_MODE_PLAY);
    EXPECT_EQ(TypeIntoGoTo(*form, {"abc", "300", "12.5s", "0:00:04:03"}),
              (std::vector<bool>{true, true, true, false}));
    ASSERT_EQ(errors().size(), 3u);
    EXPECT_TRUE(errors()[0].contains("abc"));
    EXPECT_TRUE(errors()[1].contains("0 から 299"));
    EXPECT_TRUE(errors()[2].contains("0s から 12s"));
    EXPECT_EQ(mci.count(MCI_SEEK), 1);  // nothing moved for the refused texts
    EXPECT_EQ(mci.device.position, 123);
    EXPECT_EQ(mci.device.mode, MCI_MODE_PAUSE);
    EXPECT_EQ(LastMode, dmPaused);
    EXPECT_EQ(form->Bar->position(), 123);

    EXPECT_EQ(TypeIntoGoTo(*form, {"0.52s"}), std::vector<bool>{false});
    EXPECT_EQ(mci.device.position, 13);
    EXPECT_EQ(mci.last(MCI_TVL_FRAMEINFO)->timeUs, 520'000);
    form->Timer1Timer(form->Timer1);  // the monitor sees no slider move of the user's
    EXPECT_EQ(mci.device.position, 13);
    EXPECT_EQ(mci.device.mode, MCI_MODE_PAUSE);
}

TEST_F(PlayerWindow, DotCommaAndTheWheelStepFromEveryControlAfterPausing) {
    picture(320, 240);
    mci.device.length = 50;
    playing();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    mci.device.position = 20;
    const QString counter = form->Counter->text();
    for (QWidget* control :
         std::initializer_list<QWidget*>{form->MediaPlayer1, form->isRepeat, form->Counter,
                                         form->Bar, form->Scalbar, form->Scal}) {
        SCOPED_TRACE(control->objectName().toStdString());
        control->setFocus();
        QTest::keyClick(control, Qt::Key_Period);
        EXPECT_EQ(mci.device.position, 21);
        QTest::keyClick(control, Qt::Key_Comma);
        EXPECT_EQ(mci.device.position, 20);
    }
    EXPECT_EQ(form->Counter->text(), counter);  // nothing was typed into it
    EXPECT_EQ(form->Scalbar->position(), 0);
    const auto firstOf = [&](UINT command) {
        for (size_t i = 0; i < mci.calls.size(); ++i)
            if (mci.calls[i].command == command) return int(i);
        return -1;
    };
    EXPECT_GE(firstOf(MCI_PAUSE), 0);
    EXPECT_LT(firstOf(MCI_PAUSE), firstOf(MCI_STEP));  // paused before the first step

    // The wheel over the picture: a notch toward the user forward, away back, whichever way the
    // system reports it (natural scrolling inverts it); half notches add up.
    const auto turn = [&](QPoint at, int delta, bool inverted = false) {
        QWheelEvent wheel(at, form->client()->mapToGlobal(at), {}, {0, delta}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, inverted);
        QApplication::sendEvent(form->client(), &wheel);
    };
    const QPoint picture(42 + 160, 74 + 120);
    turn(picture, -120);
    turn(picture, -60);
    turn(picture, -60);
    turn(picture, 120, true);
    turn(QPoint(10, 20), -120);  // not over the picture
    EXPECT_EQ(mci.device.position, 23);
    turn(picture, 120);
    EXPECT_EQ(mci.device.position, 22);

    // The repeat rule as for Step: past the last frame comes the first.
    mci.device.position = 49;
    QTest::keyClick(form->Counter, Qt::Key_Period);
    EXPECT_EQ(mci.device.position, 0);
    QTest::keyClick(form->Counter, Qt::Key_Comma);
    EXPECT_EQ(mci.device.position, 49);
}

TEST_F(PlayerWindow, StepBeforeThePendingStartLeavesThePlayerPaused) {
    picture(320, 240);
    start({file(QStringLiteral("clip.avi"))});
    ASSERT_TRUE(form->Timer2->enabled());
    QTest::keyClick(form->Counter, Qt::Key_Period);
    EXPECT_FALSE(form->Timer2->enabled());  // it would have played from here a second later
    EXPECT_TRUE(form->Timer1->enabled());
    EXPECT_EQ(mci.device.position, 1);
    EXPECT_EQ(mci.device.mode, MCI_MODE_PAUSE);
}

TEST_F(PlayerWindow, SaveFrameWritesThePngUnderTheProposedNameAndAFailedWriteLeavesNothing) {
    picture(320, 240);
    mci.device.picture = numberedPicture(320, 240);
    playing(QStringLiteral("clip.take2.avi"));
    mci.device.position = 7;
    const QString target = dir.filePath(QStringLiteral("kept.png"));
    modal.answers.push_back(target);
    form->SaveFrame1->trigger();
    ASSERT_EQ(modal.dialogs.size(), 1u);
    EXPECT_EQ(modal.dialogs[0].kind, fw::FileDialogRequest::Kind::Save);
    EXPECT_EQ(modal.dialogs[0].fileName, "clip.take2_7.png");
    EXPECT_EQ(QDir(modal.dialogs[0].initialDir), QDir(dir.path()));
    EXPECT_EQ(QImage(target).convertToFormat(QImage::Format_RGB32), mci.device.picture);
    EXPECT_TRUE(errors().empty());

    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);
    modal.answers.push_back(dir.filePath(QStringLiteral("missing/kept.png")));
    form->SaveFrame1->trigger();
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_TRUE(errors()[0].contains("missing/kept.png"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), before);

    QGuiApplication::clipboard()->clear();
    form->CopyFrame1->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32),
              mci.device.picture);
}

TEST_F(PlayerWindow, FrameInformationFollowsTheFrameAndShowsDashesWithoutAPicture) {
    picture(320, 240);
    mci.device.firstPtsUs = 1'400'000;
    mci.device.rateNum = 30000, mci.device.rateDen = 1001, mci.device.variableRate = true;
    playing();
    mci.device.position = 13;
    form->FrameInfo1->trigger();
    TFrameInfoWindow& info = *form->FrameInfoWindow;
    ASSERT_TRUE(info.isVisible() && info.Timer1->enabled());
    const auto texts = [&] {
        return QStringList{info.FrameNo->text(),     info.PictureType->text(),
                           info.Keyframe->text(),    info.StartTime->text(),
                           info.Duration->text(),    info.NominalRate->text(),
                           info.VariableRate->text()};
    };
    EXPECT_EQ(texts(), (QStringList{"13", "P", "いいえ", "1.92s", "0.04s",
                                    "29.970 fps (30000/1001)", "はい"}));
    mci.device.rateNum = 25, mci.device.rateDen = 1;  // another file opened, also on frame 13
    info.Timer1Timer(info.Timer1);
    EXPECT_EQ(info.NominalRate->text(), "25.000 fps");
    mci.device.hasVideo = false;  // as for a sound file: nothing to tell, and no error box
    info.Timer1Timer(info.Timer1);
    EXPECT_EQ(texts(), QStringList(7, QStringLiteral("—")));
    EXPECT_TRUE(errors().empty());
}
