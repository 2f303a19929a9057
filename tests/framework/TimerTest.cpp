#include "Exception.h"
#include "ScriptedModal.h"
#include "Timer.h"

#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>

TEST(Timer, DefaultsToOneSecondAndDisabled) {
    fw::Timer timer;
    EXPECT_EQ(timer.interval(), 1000);
    EXPECT_FALSE(timer.enabled());
}

TEST(Timer, ReEnablingDoesNotRestartTheInterval) {
    fw::Timer timer;
    timer.setInterval(200);
    QElapsedTimer clock;
    qint64 firedAt = -1;
    timer.OnTimer = [&](QObject*) {
        if (firedAt < 0) firedAt = clock.elapsed();
    };
    clock.start();
    timer.setEnabled(true);
    QTest::qWait(120);
    timer.setEnabled(true);  // must not push the first tick back to 320 ms
    ASSERT_TRUE(QTest::qWaitFor([&] { return firedAt >= 0; }, 2000));
    EXPECT_LT(firedAt, 300);
}

TEST(Timer, TicksDuringNestedMessageBox) {
    ScriptedModal modal;
    modal.boxSpinMs = 200;
    fw::Timer timer;
    timer.setInterval(20);
    int ticks = 0;
    timer.OnTimer = [&](QObject*) { ++ticks; };
    timer.setEnabled(true);
    const int before = ticks;
    fw::modalHost().showBox(fw::BoxKind::Message, "t", "nested");
    EXPECT_GE(ticks - before, 3);
}

TEST(Timer, FailingHandlerShowsOneBoxAtATimeAndKeepsRunning) {
    ScriptedModal modal;
    modal.boxSpinMs = 150;  // the error box stays open for several intervals
    fw::Timer timer;
    timer.setInterval(20);
    timer.OnTimer = [&](QObject*) { throw EConvertError("'x' は整数ではありません"); };
    timer.setEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return modal.boxes.size() >= 2; }, 3000));
    EXPECT_EQ(modal.maxOpenBoxes, 1);
    EXPECT_TRUE(timer.enabled());
    EXPECT_EQ(modal.boxes[0].text, QString::fromUtf8("'x' は整数ではありません."));
}
