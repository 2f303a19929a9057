// The player window's arithmetic: time code, sound-file test, command line, initial folder,
// zoom and layout numbers.
#include "PlayerRules.h"

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

TEST(Zoom, SeventeenTextsAndSizesFor320x240) {
    struct Row { int p; const char* text; int w, h, W, H; };
    const Row rows[] = {
        {-8, "x0.333333333333333", 107, 80, 384, 216}, {-7, "x0.363636363636364", 116, 87, 384, 223},
        {-6, "x0.4", 128, 96, 384, 232},               {-5, "x0.444444444444444", 142, 107, 384, 243},
        {-4, "x0.5", 160, 120, 384, 256},              {-3, "x0.571428571428571", 183, 137, 384, 273},
        {-2, "x0.666666666666667", 213, 160, 384, 296}, {-1, "x0.8", 256, 192, 384, 328},
        {0, "x1", 320, 240, 384, 376},                 {1, "x1.25", 400, 300, 464, 436},
        {2, "x1.5", 480, 360, 544, 496},               {3, "x1.75", 560, 420, 624, 556},
        {4, "x2", 640, 480, 704, 616},                 {5, "x2.25", 720, 540, 784, 676},
        {6, "x2.5", 800, 600, 864, 736},               {7, "x2.75", 880, 660, 944, 796},
        {8, "x3", 960, 720, 1024, 856},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.p);
        const double k = ZoomFactor(r.p);
        EXPECT_EQ(ZoomText(k), r.text);
        const QSize size = ScaledSize(QSize(320, 240), k);
        EXPECT_EQ(size, QSize(r.w, r.h));
        const TWindowLayout l = PlanLayout(size.width(), size.height(), true);
        EXPECT_EQ(QSize(l.W, l.H), QSize(r.W, r.H));
    }
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

TEST(Layout, NumbersAroundA320x240Picture) {
    const TWindowLayout l = PlanLayout(320, 240, true);
    EXPECT_EQ(l.W, 384);
    EXPECT_EQ(l.H, 376);
    EXPECT_EQ(l.Bevel1, QRect(32, 324, 340, 2));
    EXPECT_EQ(l.Bevel2, QRect(30, 62, 340, 2));
    EXPECT_EQ(l.Bevel3, QRect(30, 64, 2, 260));
    EXPECT_EQ(l.Bevel4, QRect(372, 64, 2, 260));
    EXPECT_EQ(l.Bar, QSize(-1, 258));
    EXPECT_EQ(l.PlayerWidth, 341);
    EXPECT_EQ(l.CounterLeft, 193);
}

TEST(Layout, WidthMinimumAndSoundFile) {
    const TWindowLayout small = PlanLayout(160, 120, true);
    EXPECT_EQ(QSize(small.W, small.H), QSize(384, 256));
    EXPECT_EQ(small.PlayerWidth, 181);
    EXPECT_EQ(small.CounterLeft, 193);

    const TWindowLayout sound = PlanLayout(0, 0, false);
    EXPECT_EQ(QSize(sound.W, sound.H), QSize(384, 136));
    EXPECT_EQ(sound.Bar, QSize(366, 24));
    EXPECT_EQ(sound.PlayerWidth, 21);

    const TWindowLayout large = PlanLayout(640, 480, true);
    EXPECT_EQ(QSize(large.W, large.H), QSize(704, 616));
    EXPECT_EQ(large.PlayerWidth, 661);
    EXPECT_EQ(large.CounterLeft, 513);
}
