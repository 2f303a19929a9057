// Start-up: the window as designed, the command line, the open dialog, the start timer, File >
// Open, and what happens when opening fails.
#include "PlayerWindowFixture.h"

#include "CheckBox.h"
#include "Edit.h"
#include "FileDialog.h"
#include "Timer.h"
#include "TrackBar.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>

namespace {

int startTimerId(fw::Timer* timer) {
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(timer);
    return timers.size() == 1 ? timers.first().timerId : -1;
}

}  // namespace

// ---- the window as designed -----------------------------------------------------------------

TEST_F(PlayerWindow, OpenRefusedAtStartKeepsTheDesignedWindowWithNothingArmed) {
    mci.refuse[MCI_OPEN] = MCIERR_FILE_NOT_FOUND;
    mci.errorTexts[MCIERR_FILE_NOT_FOUND] = "ファイルが見つかりません";
    TTavolenForm& f = start({file("clip.avi")});

    EXPECT_FALSE(f.StartCancelled());
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(errors(), std::vector<QString>{"ファイルが見つかりません."});
    EXPECT_FALSE(f.Timer2->enabled());
    EXPECT_FALSE(f.Timer1->enabled());
    EXPECT_EQ(f.caption(), "たぼれん");
    EXPECT_EQ(QSize(f.ClientWidth(), f.ClientHeight()), QSize(692, 568));
    EXPECT_EQ(f.MediaPlayer1->geometry(), QRect(32, 0, 113, 25));
    EXPECT_EQ(f.isRepeat->geometry(), QRect(80, 32, 89, 25));
    EXPECT_EQ(f.Counter->geometry(), QRect(512, 32, 177, 21));
    EXPECT_EQ(f.Bar->geometry(), QRect(0, 64, 25, 497));
    EXPECT_EQ(f.Scalbar->geometry(), QRect(4, 0, 20, 65));
    EXPECT_EQ(f.Scal->geometry(), QRect(32, 32, 41, 21));
    EXPECT_EQ(f.Bevel4->geometry(), QRect(686, 64, 2, 496));
}

TEST_F(PlayerWindow, ControlsMenuAndDialogAsDesigned) {
    TTavolenForm& f = start({file("clip.avi")});

    EXPECT_EQ(f.MediaPlayer1->VisibleButtons(), (TButtonSet{btPlay, btPause, btStep, btBack}));
    EXPECT_FALSE(f.MediaPlayer1->AutoEnable());
    EXPECT_TRUE(f.isRepeat->isChecked());
    EXPECT_EQ(f.isRepeat->text(), "繰り返し再生");
    EXPECT_FALSE(f.Counter->isReadOnly());
    EXPECT_TRUE(f.Scal->isReadOnly());
    EXPECT_EQ(f.Scal->text(), "x1");
    EXPECT_EQ(f.Counter->color(), QColor(0, 0, 0));
    EXPECT_EQ(f.Counter->fontColor(), QColor(0, 255, 0));
    EXPECT_TRUE(f.Counter->font().italic());
    EXPECT_EQ(f.Counter->font().pixelSize(), 13);
    EXPECT_EQ(f.font().pixelSize(), 12);
    EXPECT_EQ(f.Bar->orientation(), Qt::Vertical);
    EXPECT_EQ(f.Scalbar->minimum(), -8);
    EXPECT_EQ(f.Scalbar->maximum(), 8);
    EXPECT_EQ(f.Scalbar->frequency(), 4);
    EXPECT_EQ(f.Timer1->interval(), 30);
    EXPECT_EQ(f.Timer2->interval(), 1000);

    // Tab order: transport bar, repeat, counter, position, zoom, zoom label.
    EXPECT_EQ(f.MediaPlayer1->nextInFocusChain(), f.isRepeat);
    EXPECT_EQ(f.isRepeat->nextInFocusChain(), f.Counter);

    struct Item { QAction* action; const char* caption; QKeySequence shortcut; };
    const Item items[] = {
        {f.KO1, "開く（&O)", QKeySequence(Qt::CTRL | Qt::Key_O)},
        {f.K2, "インデックスの保存", QKeySequence(Qt::CTRL | Qt::Key_I)},
        {f.Exit1, "終了(&X)", QKeySequence()},
        {f.K3, "インデックス", QKeySequence(Qt::Key_F1)},
        {f.Ktavolenexe1, "tavolen.exe について…", QKeySequence()},
    };
    for (const Item& item : items) {
        EXPECT_EQ(item.action->text(), item.caption);
        EXPECT_EQ(item.action->shortcut(), item.shortcut);
    }
    EXPECT_TRUE(f.N1->isSeparator());
    EXPECT_TRUE(f.N1->text().isEmpty());  // a separator with a text is drawn as a labelled one
    const QList<QAction*> bar = f.MainMenu1->actions();
    ASSERT_EQ(bar.size(), 3);
    EXPECT_EQ(bar[0]->text(), "ファイル(&F)");
    EXPECT_EQ(bar[1]->text(), "表示 (&V)");
    EXPECT_EQ(bar[2]->text(), "バージョン情報");
    // The described items first, the inspection tools after them, on keys of their own.
    EXPECT_EQ(f.KF1->actions(), (QList<QAction*>{f.KO1, f.K2, f.N1, f.Exit1, f.N2, f.SaveFrame1, f.CopyFrame1}));
    EXPECT_EQ(f.Show1->actions(), (QList<QAction*>{f.K3, f.GoToFrame1, f.FrameInfo1}));
    EXPECT_EQ(QKeySequence::listToString({f.GoToFrame1->shortcut(), f.SaveFrame1->shortcut(),
                                          f.CopyFrame1->shortcut(), f.FrameInfo1->shortcut()}),
              "Ctrl+G; Ctrl+Shift+S; Ctrl+Shift+C; F2");

    EXPECT_EQ(f.OpenDialog1->defaultExt(), "avi");
    EXPECT_EQ(f.OpenDialog1->filterIndex(), 1);
    EXPECT_EQ(f.OpenDialog1->filter(),
              "Video for Windows|*.avi|mpeg1|*.mpg;*.mpeg;*.m1v;*.mov|wave|*.wav|mp3|*.mp3|"
              "すべてのファイル|*.*");
    EXPECT_TRUE(f.OpenDialog1->options().fileMustExist);
    EXPECT_TRUE(f.OpenDialog1->options().pathMustExist);
    EXPECT_TRUE(f.OpenDialog1->options().hideReadOnly);
    EXPECT_FALSE(f.OpenDialog1->options().overwritePrompt);
}

TEST_F(PlayerWindow, CtrlOOpensTheDialog) {
    TTavolenForm& f = start({file("clip.avi")});
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    modal.dialogs.clear();
    QTest::keyClick(&f, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(modal.dialogs.size(), 1u);
}

// ---- the command line -------------------------------------------------------------------------

TEST_F(PlayerWindow, CommandLineNamesTheFileQuotedOrNot) {
    const QString spaced = file("a b.avi");
    start({"\"" + spaced + "\""});
    EXPECT_EQ(openedElement(), spaced);
    EXPECT_TRUE(modal.dialogs.empty());
    EXPECT_EQ(form->OpenDialog1->initialDir(), dir.path());

    form.reset();
    mci.clear();
    const QString plain = file("plain.avi");  // unquoted: nothing is cut off its ends
    start({plain});
    EXPECT_EQ(openedElement(), plain);

    form.reset();
    mci.clear();
    start({spaced.left(spaced.size() - 6), "b.avi"});  // split by the shell at the blank
    EXPECT_EQ(openedElement(), spaced);
}

TEST_F(PlayerWindow, NoArgumentAsksAtOnceAndCancelEndsTheProgram) {
    TTavolenForm& f = start({});
    EXPECT_TRUE(f.StartCancelled());
    EXPECT_TRUE(modal.boxes.empty());
    ASSERT_EQ(modal.dialogs.size(), 1u);
    EXPECT_EQ(modal.dialogs[0].kind, fw::FileDialogRequest::Kind::Open);
    EXPECT_EQ(modal.dialogs[0].defaultExt, "avi");
    EXPECT_EQ(mci.count(MCI_OPEN), 0);
    EXPECT_FALSE(f.Timer2->enabled());
}

TEST_F(PlayerWindow, MissingFileIsNamedThenTheDialogChooses) {
    const QString chosen = file("chosen.avi");
    modal.answers.push_back(chosen);
    const QString missing = dir.filePath("gone.avi");
    start({missing});
    EXPECT_EQ(messages(), std::vector<QString>{"file not not found:" + missing});
    EXPECT_EQ(modal.dialogs.size(), 1u);
    EXPECT_EQ(openedElement(), chosen);
    EXPECT_FALSE(form->StartCancelled());

    form.reset();
    modal.boxes.clear();
    start({missing});  // and cancelled this time
    EXPECT_TRUE(form->StartCancelled());
    EXPECT_EQ(modal.boxes.size(), 1u);
}

TEST(PlayerProgram, HelpAndVersionAnswerOnStandardOutput) {
    for (const char* option : {"--help", "--version"}) {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("DISPLAY"));  // must not need a display
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(TAVOLEN_EXECUTABLE), {QString::fromLatin1(option)});
        ASSERT_TRUE(program.waitForFinished(30000)) << option;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0) << option;
        const QString out = QString::fromUtf8(program.readAllStandardOutput());
        EXPECT_TRUE(out.contains(QString::fromLatin1(option) == "--help" ? "Usage" : "tavolen "))
            << option << ": " << out.toStdString();
    }
}

// ---- opening --------------------------------------------------------------------------------

TEST_F(PlayerWindow, EveryOpenSwitchesToFramesRightAfterOpen) {
    mci.device.timeFormat = MCI_FORMAT_MILLISECONDS;
    mci.device.start = 3;
    start({file("clip.avi")});
    auto openAt = std::find_if(mci.calls.begin(), mci.calls.end(),
                               [](const MciCall& c) { return c.command == MCI_OPEN; });
    auto setAt = std::find_if(openAt, mci.calls.end(), [](const MciCall& c) {
        return c.command == MCI_SET && c.has(MCI_SET_TIME_FORMAT);
    });
    ASSERT_NE(setAt, mci.calls.end());
    EXPECT_EQ(setAt->timeFormat, MCI_FORMAT_FRAMES);
    auto firstLength = std::find_if(openAt, mci.calls.end(), [](const MciCall& c) {
        return c.command == MCI_STATUS && c.item == MCI_STATUS_LENGTH;
    });
    // The device reads its own length once inside Open; the slider's range comes after the
    // switch, in frames.
    auto rangeRead = std::find_if(setAt, mci.calls.end(), [](const MciCall& c) {
        return c.command == MCI_STATUS && c.item == MCI_STATUS_LENGTH;
    });
    EXPECT_LT(firstLength, setAt);
    EXPECT_NE(rangeRead, mci.calls.end());
    EXPECT_EQ(form->Bar->minimum(), 3);
    EXPECT_EQ(form->Bar->maximum(), 100);
    EXPECT_EQ(LastFrame, form->Bar->position());
    EXPECT_EQ(form->MediaPlayer1->StepFrames(), 1);

    mci.clear();
    mci.device.timeFormat = MCI_FORMAT_MILLISECONDS;
    openFromMenu(file("second.avi"));
    const MciCall* set = mci.last(MCI_SET);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->timeFormat, MCI_FORMAT_FRAMES);
    EXPECT_EQ(mci.device.timeFormat, MCI_FORMAT_FRAMES);
}

TEST_F(PlayerWindow, StartTimerFiresOnceAndStartsPlayback) {
    TTavolenForm& f = start({file("clip.avi")});
    EXPECT_TRUE(f.Timer2->enabled());
    EXPECT_FALSE(f.Timer1->enabled());
    EXPECT_EQ(mci.count(MCI_PLAY), 0);

    ASSERT_TRUE(QTest::qWaitFor([&] { return mci.count(MCI_PLAY) == 1; }, 10000));
    EXPECT_FALSE(f.Timer2->enabled());
    EXPECT_TRUE(f.Timer1->enabled());
    EXPECT_EQ(f.MediaPlayer1->EnabledButtons(), TButtonSet{btPause});
    EXPECT_EQ(LastMode, dmPlaying);
    QTest::qWait(1500);  // long enough for a second tick, were the timer still armed
    EXPECT_EQ(mci.count(MCI_PLAY), 1);
}

TEST_F(PlayerWindow, SecondOpenWhileStartingNeitherRestartsTheTimerNorClosesFirst) {
    // A refused close leaves the device open, so each close that is tried shows in the record.
    mci.refuse[MCI_CLOSE] = MCIERR_HARDWARE;
    TTavolenForm& f = start({file("clip.avi")});
    const int armed = startTimerId(f.Timer2);
    ASSERT_GT(armed, 0);
    mci.clear();

    openFromMenu(file("second.avi"));
    EXPECT_EQ(startTimerId(f.Timer2), armed);
    EXPECT_EQ(mci.count(MCI_CLOSE), 1);  // Open's own, none before it
    EXPECT_EQ(mci.count(MCI_OPEN), 1);

    f.Timer2Timer(f.Timer2);  // running now: the next open closes first
    mci.clear();
    openFromMenu(file("third.avi"));
    EXPECT_EQ(mci.count(MCI_CLOSE), 2);
}

// ---- failures -----------------------------------------------------------------------------

TEST_F(PlayerWindow, OpenRefusedFromTheMenuLeavesNoDeviceAndAQuietMonitor) {
    TTavolenForm& f = playing();
    mci.refuse[MCI_OPEN] = MCIERR_INVALID_FILE;
    openFromMenu(file("broken.avi"));

    EXPECT_EQ(errors(), std::vector<QString>{"原因不明のエラー."});
    EXPECT_EQ(mci.count(MCI_CLOSE), 1);
    EXPECT_EQ(f.MediaPlayer1->OpenDeviceId(), 0);
    EXPECT_FALSE(f.Timer2->enabled());
    EXPECT_TRUE(f.Timer1->enabled());
    mci.clear();
    EXPECT_NO_THROW(f.Timer1Timer(f.Timer1));
    EXPECT_NO_THROW(f.UpdateDisplay());
    EXPECT_TRUE(mci.calls.empty());
}

TEST_F(PlayerWindow, OpenRefusedWhileStartingDisarmsTheStart) {
    TTavolenForm& f = start({file("clip.avi")});
    mci.refuse[MCI_OPEN] = MCIERR_INVALID_FILE;
    openFromMenu(file("broken.avi"));
    EXPECT_EQ(errors().size(), 1u);
    EXPECT_FALSE(f.Timer2->enabled());
}

TEST_F(PlayerWindow, FileThatVanishedAfterTheDialogIsReportedAndNothingChanges) {
    TTavolenForm& f = playing();
    const QString gone = dir.filePath("vanished.avi");
    openFromMenu(gone);
    EXPECT_EQ(messages(), std::vector<QString>{"ファイル " + gone + " は存在してません。"});
    EXPECT_TRUE(mci.calls.empty());
    EXPECT_NE(f.MediaPlayer1->OpenDeviceId(), 0);
    EXPECT_TRUE(f.Timer1->enabled());
    EXPECT_FALSE(f.Timer2->enabled());

    modal.answers.push_back(std::nullopt);  // cancelled: nothing at all
    f.KO1->trigger();
    EXPECT_EQ(modal.boxes.size(), 1u);
    EXPECT_TRUE(mci.calls.empty());
}

TEST_F(PlayerWindow, ExitClosesTheDeviceOnceAndTheWindow) {
    TTavolenForm& f = playing();
    f.setCloseAction(fw::CloseAction::Hide);  // keep the test's event loop running
    f.Exit1->trigger();
    EXPECT_EQ(mci.count(MCI_CLOSE), 1);
    EXPECT_FALSE(f.isVisible());
    form.reset();  // FormDestroy: a second close does nothing
    EXPECT_EQ(mci.count(MCI_CLOSE), 1);
}

TEST_F(PlayerWindow, AboutShowsAMessage) {
    TTavolenForm& f = playing();
    f.Ktavolenexe1->trigger();
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_TRUE(messages()[0].contains("たぼれん"));
}
