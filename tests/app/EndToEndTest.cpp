// The player window on the real media service and a generated clip whose frames carry their
// own number: it starts by itself, the monitor counts, a click on the picture pauses, Step
// shows the next frame, and repeat playback wraps at the end.
#include "CheckBox.h"
#include "Edit.h"
#include "FrameInfoWindow.h"
#include "GoToDriver.h"
#include "MediaGenerator.h"
#include "MediaService.h"
#include "Barcode.h"
#include "ScriptedModal.h"
#include "TavolenPlay.h"
#include "Timer.h"
#include "TrackBar.h"
#include "VideoSurface.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QRegularExpression>
#include <QWheelEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

namespace {

// The position the counter shows ("len / posFr.( ... )"), -1 before the first tick.
int counterPosition(const fw::Edit* counter) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d+) / (\\d+)Fr\\.\\( "));
    const auto match = pattern.match(counter->text());
    return match.hasMatch() ? match.captured(2).toInt() : -1;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // The service's index cache of this run only: what other runs left is not under test.
        m_previousCache = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", m_cache.path().toUtf8());
        QString error;
        path = fixtures::clip(fixtures::ClipKind::Mpeg1Mpg, &error);
        ASSERT_FALSE(path.isEmpty()) << error.toStdString();
        frames = fixtures::clipFrameCount(fixtures::ClipKind::Mpeg1Mpg);
        form = std::make_unique<TTavolenForm>(QStringList{path});
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    void TearDown() override {
        form.reset();
        qputenv("XDG_CACHE_HOME", m_previousCache);
    }

    std::string boxes() const {
        std::string all;
        for (const auto& box : modal.boxes) all += box.text.toStdString() + "\n";
        return all;
    }
    mci::VideoSurface* surface() const { return form->client()->findChild<mci::VideoSurface*>(); }
    int shownFrame() const {
        const mci::VideoSurface* s = surface();
        return s ? fixtures::readFrameNumber(s->image()) : -1;
    }
    // A click routed by the window system, so whatever lies under the point gets it.
    void clickAt(QWidget* widget, QPoint at) {
        const QPoint inWindow = widget->mapTo(form.get(), at);
        QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {}, inWindow);
    }
    void clickButton(TMPBtnType button) {  // the bar shows Play, Pause, Step, Back
        const int slot = button == btPlay ? 0 : button == btPause ? 1 : button == btStep ? 2 : 3;
        const int width = form->MediaPlayer1->ButtonWidth();
        clickAt(form->MediaPlayer1, QPoint(slot * (width - 1) + width / 2, form->MediaPlayer1->height() / 2));
    }

    QTemporaryDir m_cache;
    QByteArray m_previousCache;
    ScriptedModal modal;  // an error box would otherwise wait for a person
    mci::MediaServiceInstaller service;
    QString path;
    int frames = 0;
    std::unique_ptr<TTavolenForm> form;
};

}  // namespace

TEST_F(EndToEnd, PlaysPausesStepsAndWraps) {
    // Starts by itself and the counter moves on.
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Timer1->enabled(); }, 20000)) << boxes();
    ASSERT_TRUE(QTest::qWaitFor([&] { return counterPosition(form->Counter) > 0; }, 20000));
    const int seen = counterPosition(form->Counter);
    ASSERT_TRUE(QTest::qWaitFor([&] { return counterPosition(form->Counter) != seen; }, 20000));
    ASSERT_NE(surface(), nullptr);
    EXPECT_TRUE(surface()->geometry().intersects(QRect(42, 74, 320, 240)));

    // A click on the picture is a click on the window: it pauses.
    clickAt(form->client(), QPoint(42 + 160, 74 + 160));
    EXPECT_EQ(LastMode, dmPaused);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->MediaPlayer1->Mode() == dmPaused; }, 20000));
    EXPECT_EQ(form->MediaPlayer1->EnabledButtons(), (TButtonSet{btPlay, btStep, btBack}));

    // Step shows exactly the next frame.
    if (form->MediaPlayer1->Position() >= frames - 2) form->MediaPlayer1->SetPosition(10);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownFrame() == form->MediaPlayer1->Position(); }, 20000));
    const int before = shownFrame();
    clickButton(btStep);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownFrame() == before + 1; }, 20000)) << shownFrame();
    EXPECT_EQ(form->MediaPlayer1->Position(), before + 1);

    // Repeat on: playing into the end starts over at frame 0.
    ASSERT_TRUE(form->isRepeat->isChecked());
    form->Bar->setPosition(frames - 8);  // the monitor seeks there on its next tick
    const int nearEnd = frames - 8;
    ASSERT_TRUE(QTest::qWaitFor([&] { return counterPosition(form->Counter) >= nearEnd; }, 20000));
    clickButton(btPlay);
    ASSERT_TRUE(QTest::qWaitFor([&] { return LastMode == dmPlaying; }, 20000));
    // Playing forward from there, the counter can only fall below it by starting over.
    const auto wrapped = [&] {
        return counterPosition(form->Counter) < nearEnd && LastMode == dmPlaying;
    };
    ASSERT_TRUE(QTest::qWaitFor(wrapped, 30000)) << counterPosition(form->Counter);
    EXPECT_EQ(form->MediaPlayer1->Mode(), dmPlaying);
    EXPECT_TRUE(modal.boxes.empty());
}

// The inspection tools on the real service and a B-frame clip: go to a frame lands paused on
// it, "." and the wheel move one frame each, the information window names each picture's
// type, and the saved PNG holds exactly the pixels shown at 1x.
TEST_F(EndToEnd, GoesToStepsDescribesAndKeepsTheFrameShown) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Timer1->enabled(); }, 20000)) << boxes();
    EXPECT_EQ(TypeIntoGoTo(*form, {"45"}), std::vector<bool>{false}) << boxes();
    EXPECT_EQ(form->MediaPlayer1->Mode(), dmPaused);
    EXPECT_EQ(shownFrame(), 45);

    form->FrameInfo1->trigger();
    const TFrameInfoWindow& info = *form->FrameInfoWindow;
    const auto describes = [&](int frame, const char* type) {
        form->FrameInfoWindow->Timer1Timer(nullptr);
        return shownFrame() == frame && info.FrameNo->text() == QString::number(frame) && info.PictureType->text() == type;
    };
    EXPECT_TRUE(describes(45, "I"));
    EXPECT_EQ(info.Keyframe->text(), "はい");
    QTest::keyClick(form->Counter, Qt::Key_Period);
    EXPECT_TRUE(describes(46, "B"));
    QWheelEvent wheel(QPointF(42 + 160, 74 + 120), QPointF(), {}, {0, -240}, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(form->client(), &wheel);
    EXPECT_TRUE(describes(48, "P"));
    EXPECT_EQ(info.Keyframe->text(), "いいえ");
    EXPECT_EQ(info.NominalRate->text(), "30.000 fps");

    QTemporaryDir out;
    modal.answers.push_back(out.filePath(QStringLiteral("kept.png")));
    form->SaveFrame1->trigger();
    const QImage kept(out.filePath(QStringLiteral("kept.png")));
    EXPECT_EQ(kept.convertToFormat(QImage::Format_RGB32), surface()->image().convertToFormat(QImage::Format_RGB32));
    EXPECT_EQ(fixtures::readFrameNumber(kept), 48);
    EXPECT_TRUE(modal.boxes.empty()) << boxes();
}
