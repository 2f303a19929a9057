#include "Application.h"
#include "Exception.h"
#include "Modal.h"
#include "ScriptedModal.h"

#include <gtest/gtest.h>

using fw::Application;

TEST(ApplicationTitle, CutAtFirstDotAndLoweredAfterFirstCharacter) {
    EXPECT_EQ(Application::titleFromPath("/usr/local/bin/tavolen"), "tavolen");
    EXPECT_EQ(Application::titleFromPath("/opt/x/TAVOLEN.EXE"), "Tavolen");
    EXPECT_EQ(Application::titleFromPath("/a.b/My.Player.bin"), "My");
    EXPECT_EQ(Application::titleFromPath("Q"), "Q");
}

TEST(ErrorBox, FullStopOnlyWhenLastCharacterSortsAfterDot) {
    EXPECT_EQ(Application::errorText("Stream read error"), "Stream read error.");
    EXPECT_EQ(Application::errorText("done."), "done.");
    EXPECT_EQ(Application::errorText("what!"), "what!");  // '!' sorts before '.'
    EXPECT_EQ(Application::errorText(QString::fromUtf8("MCI デバイスがありません")),
              QString::fromUtf8("MCI デバイスがありません."));
    EXPECT_EQ(Application::errorText(""), "");
}

TEST(Guard, ExceptionBecomesErrorBoxWithTitleAndProgramCarriesOn) {
    ScriptedModal modal;
    bool after = false;
    fw::guard([] { throw EMCIDeviceError("MCI デバイスがありません"); });
    after = true;
    ASSERT_EQ(modal.boxes.size(), 1u);
    EXPECT_EQ(modal.boxes[0].kind, fw::BoxKind::Error);
    EXPECT_EQ(modal.boxes[0].caption, Application::title());
    EXPECT_EQ(modal.boxes[0].text, QString::fromUtf8("MCI デバイスがありません."));
    EXPECT_TRUE(after);
}

TEST(DialogFilter, LabelsAndPatternsInOrder) {
    const auto entries = fw::parseFilter(QString::fromUtf8(
        "Video for Windows|*.avi|mpeg1|*.mpg;*.mpeg;*.m1v;*.mov|wave|*.wav|mp3|*.mp3|すべてのファイル|*.*"));
    ASSERT_EQ(entries.size(), 5);
    EXPECT_EQ(entries[1].label, "mpeg1");
    EXPECT_EQ(entries[1].patterns, (QStringList{"*.mpg", "*.mpeg", "*.m1v", "*.mov"}));
    EXPECT_EQ(entries[4].label, QString::fromUtf8("すべてのファイル"));
    EXPECT_EQ(entries[4].patterns, QStringList{"*.*"});
    EXPECT_EQ(fw::parseFilter("lonely").size(), 0);
}

TEST(Format, PrintfStyle) {
    EXPECT_EQ(fw::format("%d から %d の間の値でなければなりません", -2147483647, 99),
              "-2147483647 から 99 の間の値でなければなりません");
}
