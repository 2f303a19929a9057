// The 27 glyph bitmaps compiled into the program, and the program that draws them.
#include "MediaTest.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const char* const Suffixes[] = {"MPPLAY", "MPPAUSE", "MPSTOP", "MPNEXT", "MPPREV",
                                "MPSTEP", "MPBACK", "MPRECORD", "MPEJECT"};

struct Size {
    int width, height, diWidth;
};
const Size Sizes[] = {{17, 16, 17}, {13, 16, 12}, {17, 16, 17}, {21, 16, 21}, {20, 16, 20},
                      {21, 16, 21}, {21, 16, 21}, {13, 13, 13}, {19, 16, 19}};

class GlyphsTest : public MediaTest {};

bool HasColour(const QImage& image, QRgb colour) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) return true;
    return false;
}

}  // namespace

TEST_F(GlyphsTest, AllGlyphsLoadWithTheirSizesAndGiveTheMinimumButton) {
    for (int kind = 0; kind < MPButtonKinds; ++kind) {
        const Size size = Sizes[kind];
        const QImage& en = player->Glyph(TMPBtnType(kind), glEnabled);
        const QImage& di = player->Glyph(TMPBtnType(kind), glDisabled);
        const QImage& cl = player->Glyph(TMPBtnType(kind), glColored);
        EXPECT_EQ(en.size(), QSize(size.width, size.height)) << Suffixes[kind];
        EXPECT_EQ(cl.size(), QSize(size.width, size.height)) << Suffixes[kind];
        EXPECT_EQ(di.size(), QSize(size.diWidth, size.height)) << Suffixes[kind];
        for (const QImage* image : {&en, &di, &cl}) {
            EXPECT_EQ(image->pixel(0, 0) & 0xFFFFFF, 0x808000u) << Suffixes[kind];  // olive key
            EXPECT_TRUE(HasColour(*image, qRgb(128, 128, 128))) << Suffixes[kind];
            EXPECT_TRUE(HasColour(*image, qRgb(255, 255, 255))) << Suffixes[kind];
        }
        EXPECT_TRUE(HasColour(en, qRgb(0, 0, 0))) << Suffixes[kind];
        EXPECT_FALSE(HasColour(di, qRgb(0, 0, 0))) << Suffixes[kind];
        EXPECT_FALSE(HasColour(cl, qRgb(0, 0, 0))) << Suffixes[kind];
    }
    EXPECT_EQ(player->MinButtonSize().X, 29);
    EXPECT_EQ(player->MinButtonSize().Y, 20);
}

TEST_F(GlyphsTest, ColouredGlyphsAreFilledInTheKindsColour) {
    EXPECT_TRUE(HasColour(player->Glyph(btPlay, glColored), qRgb(0, 255, 0)));
    EXPECT_TRUE(HasColour(player->Glyph(btPause, glColored), qRgb(255, 255, 0)));
    EXPECT_TRUE(HasColour(player->Glyph(btStop, glColored), qRgb(255, 0, 0)));
    EXPECT_TRUE(HasColour(player->Glyph(btRecord, glColored), qRgb(255, 0, 0)));
    for (TMPBtnType kind : {btNext, btPrev, btStep, btBack, btEject})
        EXPECT_TRUE(HasColour(player->Glyph(kind, glColored), qRgb(0, 0, 255))) << int(kind);
}

TEST_F(GlyphsTest, ResourcesAreSixteenColourBitmaps) {
    QFile file(":/glyphs/EN_MPPLAY.bmp");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    ASSERT_GE(data.size(), 30);
    EXPECT_EQ(data.left(2), QByteArray("BM"));
    EXPECT_EQ(int(data[28]), 4);  // bits per pixel
}

TEST_F(GlyphsTest, CommittedBitmapsAreTheDrawingProgramsOutput) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(QProcess::execute(DRAW_GLYPHS_PROGRAM, {dir.path()}), 0);
    for (const char* prefix : {"EN", "DI", "CL"})
        for (const char* suffix : Suffixes) {
            const QString name = QString("%1_%2.bmp").arg(prefix, suffix);
            QFile drawn(QDir(dir.path()).filePath(name)), committed(QDir(GLYPHS_SOURCE_DIR).filePath(name));
            ASSERT_TRUE(drawn.open(QIODevice::ReadOnly)) << name.toStdString();
            ASSERT_TRUE(committed.open(QIODevice::ReadOnly)) << name.toStdString();
            EXPECT_EQ(drawn.readAll(), committed.readAll()) << name.toStdString();
        }
}
