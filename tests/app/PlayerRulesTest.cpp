// The player window's arithmetic: time code, sound-file test, command line, initial folder,
// zoom and layout numbers.
#include "Exception.h"
#include "GoToFrame.h"
#include "PlayerRules.h"
#include "TavolenZoom.h"

#include <gtest/gtest.h>

#include <QLocale>

TEST(FrameToTimeCode, FormatsAtThirtyFramesASecond) {
    EXPECT_EQ(FrameToTimeCode(0), "0:00:00:00");
    EXPECT_EQ(FrameToTimeCode(29), "0:00:00:29");
    EXPECT_EQ(FrameToTimeCode(345), "0:00:11:15");
    EXPECT_EQ(FrameToTimeCode(1800), "0:01:00:00");
    EXPECT_EQ(FrameToTimeCode(107999), "0:59:59:29");
    EXPECT_EQ(FrameToTimeCode(108000), "1:00:00:00");
}

TEST(FrameToTimeCode, HoursPastADayKeepEveryDigit) {
    EXPECT_EQ(FrameToTimeCode(25 * 108000 + 1800 + 31), "25:01:01:01");
    EXPECT_EQ(FrameToTimeCode(INT32_MAX), "19884:06:28:07");
}

TEST(IsSoundFile, MatchesASubstringOfTheSoundExtensions) {
    EXPECT_TRUE(IsSoundFile("/m/A.MID"));
    EXPECT_TRUE(IsSoundFile("b.Mi"));
    EXPECT_TRUE(IsSoundFile("c.ai"));
    EXPECT_TRUE(IsSoundFile("/m/tone.wav"));
    EXPECT_FALSE(IsSoundFile("d.avi"));
    EXPECT_FALSE(IsSoundFile("/m/e"));
    EXPECT_FALSE(IsSoundFile("f.mpeg"));
    EXPECT_FALSE(IsSoundFile("clip.m1v"));
}

TEST(IsSoundFile, ADotInAFolderIsNoExtension) {
    EXPECT_FALSE(IsSoundFile("/home/a.wav/clip"));
    EXPECT_FALSE(IsSoundFile("/m.mid/"));
    EXPECT_TRUE(IsSoundFile("/home/a.b/clip.mp3"));
}

TEST(CommandLine, JoinsTrimsAndUnquotes) {
    EXPECT_EQ(CommandLineFileName({}), "");
    EXPECT_EQ(CommandLineFileName({"/m/clip.avi"}), "/m/clip.avi");  // unquoted: nothing cut
    EXPECT_EQ(CommandLineFileName({"\"/m/a b.avi\""}), "/m/a b.avi");
    EXPECT_EQ(CommandLineFileName({"/m/a", "b.avi"}), "/m/a b.avi");
    EXPECT_EQ(CommandLineFileName({" \t/m/c.avi\n"}), "/m/c.avi");
    EXPECT_EQ(CommandLineFileName({"\"/m/half.avi"}), "\"/m/half.avi");  // one quote stays
    EXPECT_EQ(CommandLineFileName({"\"\""}), "");
    EXPECT_EQ(CommandLineFileName({"\""}), "\"");
    EXPECT_EQ(CommandLineFileName({"\"\"a\"\""}), "\"a\"");  // only one pair goes
}

TEST(InitialDir, KeepsTheRootSlashOnly) {
    EXPECT_EQ(InitialDirOf("/a.avi"), "/");
    EXPECT_EQ(InitialDirOf("/v/a.avi"), "/v");
    EXPECT_EQ(InitialDirOf("a.avi"), "");
    EXPECT_EQ(InitialDirOf("/v//a.avi"), "/v//");
    EXPECT_EQ(InitialDirOf("rel/dir/a.avi"), "rel/dir");
}

TEST(Zoom, TextUsesAPointWhateverTheLocale) {
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German));
    setlocale(LC_NUMERIC, "de_DE.UTF-8");
    EXPECT_EQ(ZoomText(1.25), "x1.25");
    setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(previous);
}

TEST(Zoom, HalvesRoundToEven) {
    EXPECT_EQ(ScaledSize(QSize(350, 330), ZoomFactor(1)), QSize(438, 412));
    EXPECT_EQ(RoundHalfEven(160.5), 160);
    EXPECT_EQ(RoundHalfEven(161.5), 162);
    EXPECT_EQ(RoundHalfEven(0.5), 0);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(2.4999999999999996), 2);
    EXPECT_EQ(ScaledSize(QSize(1, 1), ZoomFactor(-8)), QSize(0, 0));
    EXPECT_EQ(RoundHalfEven(1e12), INT32_MAX);
}

// What the window tests cannot reach: the rule for a picture wider than the minimum.
TEST(Layout, WideAndNarrowPictures) {
    const TWindowLayout narrow = PlanLayout(100, 50, false);
    EXPECT_EQ(narrow.W, 384);
    EXPECT_EQ(narrow.Bar, QSize(366, 74));
    EXPECT_EQ(narrow.CounterLeft, 193);
    const TWindowLayout wide = PlanLayout(321, 1, true);
    EXPECT_EQ(wide.W, 385);
    EXPECT_EQ(wide.CounterLeft, 194);
    EXPECT_EQ(wide.Bevel4, QRect(373, 64, 2, 21));
}

// What the go-to box reads: frame numbers, the counter's time code, seconds with "s" (rounded
// to the microsecond), full-width input; anything else, or a time code past 59:59:29, raises.
TEST(ParseGoToText, ReadsFramesTimeCodesAndSeconds) {
    struct Row {
        const char* text;
        TGoToTarget::TKind kind;
        std::int64_t value;  // frame or microseconds
    };
    const Row rows[] = {
        {"123", TGoToTarget::gkFrame, 123},
        {"  0 ", TGoToTarget::gkFrame, 0},
        {"-4", TGoToTarget::gkFrame, -4},
        {"１２３", TGoToTarget::gkFrame, 123},
        {"99999999999999999999", TGoToTarget::gkFrame, INT64_MAX},
        {"0:00:04:03", TGoToTarget::gkFrame, 123},
        {"1:00:00:00", TGoToTarget::gkFrame, 108000},
        {"25:01:01:01", TGoToTarget::gkFrame, 25 * 108000 + 1800 + 31},
        {"12.5s", TGoToTarget::gkSeconds, 12'500'000},
        {"12 S", TGoToTarget::gkSeconds, 12'000'000},
        {".25s", TGoToTarget::gkSeconds, 250'000},
        {"0.0333667s", TGoToTarget::gkSeconds, 33'367},
        {"0.0333664s", TGoToTarget::gkSeconds, 33'366},
        {"-1s", TGoToTarget::gkSeconds, -1'000'000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const TGoToTarget target = ParseGoToText(QString::fromUtf8(row.text));
        EXPECT_EQ(target.Kind, row.kind);
        EXPECT_EQ(row.kind == TGoToTarget::gkFrame ? target.Frame : target.Microseconds, row.value);
    }
    for (const char* text : {"", "abc", "12.5", "s", ".s", "1:2:3", "0:60:00:00", "0:00:60:00", "0:00:00:30",
                             "1e3", "12.5ms", "0x10", "1 2"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(ParseGoToText(QString::fromUtf8(text)), EConvertError);
    }
    EXPECT_EQ(SecondsText(12'500'000), "12.5s");
    EXPECT_EQ(SecondsText(0), "0s");
    EXPECT_EQ(SecondsText(-33'367), "-0.033367s");
}
