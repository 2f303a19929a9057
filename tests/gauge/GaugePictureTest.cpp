// TGauge's pictures, pixel by pixel: the index window's pie, the bars, the frame, the needle and
// the inverted text. Failures print the picture as text ('#' black, '.' white, '-' other).
#include "Colors.h"
#include "Gauges.h"

#include <QDir>
#include <QFontMetrics>
#include <QPainter>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

const QColor Black(0, 0, 0);
const QColor White(255, 255, 255);

QImage Picture(TGauge& gauge) { return gauge.grab().toImage().convertToFormat(QImage::Format_RGB32); }

std::string Ascii(const QImage& image) {
    std::string text = "\n";
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            text += c == Black ? '#' : c == White ? '.' : '-';
        }
        text += '\n';
    }
    return text;
}

struct Pixel {
    int x, y;
    QColor colour;
};

// Checks every listed pixel; one failure shows the whole picture.
void ExpectPixels(const QImage& image, const std::vector<Pixel>& pixels, const char* what) {
    for (const Pixel& p : pixels) {
        const QColor actual = image.pixelColor(p.x, p.y);
        EXPECT_EQ(actual, p.colour) << what << ": pixel (" << p.x << ", " << p.y << ") is "
                                    << actual.name().toStdString() << Ascii(image);
    }
}

// The index window's gauge: 25 x 25, pie, range 0 to 29, no text, no frame, button face colour.
QColor BtnFace() { return fw::clBtnFace; }

std::unique_ptr<TGauge> MakePieG() {
    auto gauge = std::make_unique<TGauge>();
    gauge->resize(25, 25);
    gauge->SetKind(gkPie);
    gauge->SetMinValue(0);
    gauge->SetMaxValue(29);
    gauge->SetShowText(false);
    gauge->SetBorderStyle(bsNone);
    gauge->SetColor(BtnFace());
    return gauge;
}

QImage PieGAt(int progress) {
    auto gauge = MakePieG();
    gauge->SetProgress(progress);
    return Picture(*gauge);
}

std::unique_ptr<TGauge> MakeGauge(TGaugeKind kind, int size, TBorderStyle border, bool text) {
    auto gauge = std::make_unique<TGauge>();
    gauge->resize(size, size);
    gauge->SetKind(kind);
    gauge->SetBorderStyle(border);
    gauge->SetShowText(text);
    return gauge;
}

// Whether any pixel of row y between columns x0 and x1 (inclusive) is black.
bool BlackIn(const QImage& image, int y, int x0, int x1) {
    for (int x = x0; x <= x1; ++x)
        if (image.pixelColor(x, y) == Black) return true;
    return false;
}

// The pixels where two pictures differ.
std::vector<QPoint> Differences(const QImage& a, const QImage& b) {
    std::vector<QPoint> points;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y)) points.emplace_back(x, y);
    return points;
}

}  // namespace

// The start ray turns clockwise from 12 o'clock and the wedge runs counterclockwise from it back
// to 12 o'clock; a wrong sign, direction or bounding box moves the black pixels checked here.
TEST(GaugePie, IndexWindowPieAtTheDocumentedValues) {
    const QColor face = BtnFace();
    ExpectPixels(PieGAt(0),
                 {{0, 0, face}, {24, 0, face}, {0, 24, face}, {24, 24, face},      // corners
                  {12, 0, Black}, {0, 12, Black}, {24, 12, Black}, {12, 24, Black},  // outline
                  {12, 1, White}, {1, 12, White}, {23, 12, White}, {12, 23, White},
                  {12, 12, White}, {6, 6, White}, {18, 6, White}, {6, 18, White}, {18, 18, White}},
                 "0: empty disc");
    ExpectPixels(PieGAt(1), {{13, 3, Black}, {10, 3, White}, {16, 3, White}, {18, 18, White}},
                 "1 (3 %): a sliver right of 12 o'clock");
    ExpectPixels(PieGAt(7),
                 {{18, 6, Black}, {23, 10, Black}, {20, 11, Black}, {18, 18, White}, {20, 13, White},
                  {6, 6, White}, {6, 18, White}},
                 "7 (24 %): upper right quarter, black up to the right edge");
    ExpectPixels(PieGAt(15),
                 {{18, 6, Black}, {18, 18, Black}, {22, 12, Black}, {12, 20, Black}, {6, 6, White},
                  {6, 18, White}, {9, 20, White}},
                 "15 (51 %): right half and a little more");
    ExpectPixels(PieGAt(22),
                 {{6, 6, White}, {10, 10, White}, {3, 11, White}, {3, 13, Black}, {18, 6, Black},
                  {18, 18, Black}, {6, 18, Black}},
                 "22 (75 %): all but the upper left quarter");
    ExpectPixels(PieGAt(28), {{11, 3, White}, {8, 3, Black}, {13, 3, Black}, {6, 6, Black}},
                 "28 (96 %): all but a sliver left of 12 o'clock");
    ExpectPixels(PieGAt(29),
                 {{0, 0, face}, {24, 24, face}, {12, 12, Black}, {6, 6, Black}, {18, 6, Black},
                  {6, 18, Black}, {18, 18, Black}, {12, 1, Black}},
                 "29 (100 %): full disc");
}

TEST(GaugeBar, HorizontalBarFillsTheScaledLength) {
    auto gauge = MakeGauge(gkHorizontalBar, 99, bsNone, false);
    gauge->SetProgress(10);  // w is 100 and 10 % of 100 scales to 9
    ExpectPixels(Picture(*gauge),
                 {{0, 0, Black}, {8, 0, Black}, {8, 49, Black}, {8, 98, Black}, {9, 0, White},
                  {9, 98, White}},
                 "10 %: columns 0 to 8");
    gauge->SetProgress(50);
    ExpectPixels(Picture(*gauge), {{49, 0, Black}, {49, 98, Black}, {50, 0, White}, {98, 98, White}},
                 "50 %: columns 0 to 49");
    gauge->SetProgress(100);
    ExpectPixels(Picture(*gauge), {{98, 0, Black}, {98, 98, Black}}, "100 %: everything");
    gauge->SetProgress(0);
    ExpectPixels(Picture(*gauge), {{0, 0, White}, {0, 98, White}}, "0 %: nothing");
}

TEST(GaugeBar, VerticalBarGrowsUpFromTheBottomInsideTheFrame) {
    auto gauge = MakeGauge(gkVerticalBar, 100, bsSingle, false);
    gauge->SetProgress(50);  // h is 99, 49.5 truncates to 49: rows 50 to 98
    ExpectPixels(Picture(*gauge),
                 {{50, 49, White}, {50, 50, Black}, {50, 98, Black}, {1, 60, Black}, {98, 60, Black},
                  {50, 1, White}},
                 "50 %");
    gauge->SetProgress(10);  // 9.9 truncates to 9: rows 90 to 98
    ExpectPixels(Picture(*gauge), {{50, 89, White}, {50, 90, Black}}, "10 %");
}

TEST(GaugeBar, SingleBorderLeavesABlackFrameAroundTheFace) {
    auto gauge = MakeGauge(gkHorizontalBar, 100, bsSingle, false);
    const std::vector<Pixel> frame = {{0, 0, Black},  {99, 0, Black},  {0, 99, Black},
                                      {99, 99, Black}, {50, 0, Black},  {0, 50, Black},
                                      {99, 50, Black}, {50, 99, Black}};
    ExpectPixels(Picture(*gauge), frame, "frame at 0 %");
    ExpectPixels(Picture(*gauge), {{1, 1, White}, {98, 1, White}, {1, 98, White}, {98, 98, White}},
                 "empty face at 0 %");
    gauge->SetForeColor(QColor(255, 0, 0));
    gauge->SetProgress(100);
    ExpectPixels(Picture(*gauge), frame, "frame at 100 %");
    ExpectPixels(Picture(*gauge), {{1, 1, QColor(255, 0, 0)}, {98, 98, QColor(255, 0, 0)}},
                 "full face at 100 %");
}

TEST(GaugeNeedle, NeedleTurnsFromLeftThroughUpToRight) {
    const QColor grey(128, 128, 128);
    auto gauge = MakeGauge(gkNeedle, 100, bsNone, false);
    gauge->SetColor(grey);
    QImage picture = Picture(*gauge);
    ExpectPixels(picture, {{0, 0, grey}, {99, 0, grey}, {50, 0, Black}, {0, 99, Black}, {50, 50, White},
                           {50, 97, White}, {99, 99, grey}},
                 "0 %: the half disc on the bottom row, no needle");

    gauge->SetProgress(25);
    picture = Picture(*gauge);
    EXPECT_TRUE(BlackIn(picture, 64, 30, 35)) << "25 %: needle up and to the left" << Ascii(picture);
    EXPECT_FALSE(BlackIn(picture, 64, 64, 70)) << Ascii(picture);

    gauge->SetProgress(50);
    picture = Picture(*gauge);
    for (int y : {5, 50, 98}) EXPECT_EQ(picture.pixelColor(50, y), Black) << y << Ascii(picture);
    ExpectPixels(picture, {{49, 50, White}, {51, 50, White}}, "50 %: straight up");

    gauge->SetProgress(75);
    picture = Picture(*gauge);
    EXPECT_TRUE(BlackIn(picture, 64, 64, 70)) << "75 %: needle up and to the right" << Ascii(picture);
    EXPECT_FALSE(BlackIn(picture, 64, 30, 35)) << Ascii(picture);

    gauge->SetProgress(100);
    ExpectPixels(Picture(*gauge), {{99, 99, Black}}, "100 %: along the base up to the right edge");
}

// XOR of white text: where a character's pixels fall the face is inverted.
TEST(GaugeText, TextInvertsTheFilledAndTheEmptyPart) {
    auto gauge = MakeGauge(gkHorizontalBar, 100, bsNone, true);
    gauge->SetProgress(50);  // columns 0 to 49 black, the text "50%" straddles column 50
    const QImage withText = Picture(*gauge);
    gauge->SetShowText(false);
    const QImage face = Picture(*gauge);
    int overFilled = 0, overEmpty = 0;
    for (const QPoint& p : Differences(withText, face)) {
        const bool filled = p.x() < 50;
        EXPECT_EQ(face.pixelColor(p), filled ? Black : White);
        EXPECT_EQ(withText.pixelColor(p), filled ? White : Black) << p.x() << "," << p.y();
        ++(filled ? overFilled : overEmpty);
    }
    EXPECT_GT(overFilled, 10) << Ascii(withText);
    EXPECT_GT(overEmpty, 10) << Ascii(withText);
}

// The text is centred within the face's size but not moved by the frame's Left and Top.
TEST(GaugeText, ZeroPercentStandsAtTheCentreOfTheFaceSize) {
    auto gauge = MakeGauge(gkHorizontalBar, 100, bsSingle, true);
    const QImage withText = Picture(*gauge);
    gauge->SetShowText(false);
    const QImage face = Picture(*gauge);

    QFont font = gauge->Font();
    font.setStyleStrategy(QFont::NoAntialias);
    const QFontMetrics metrics(font);
    const int x = (99 - metrics.horizontalAdvance("0%")) / 2;  // R is (1, 1, 99, 99)
    const int y = (99 - metrics.height()) / 2;
    QImage expected(100, 100, QImage::Format_RGB32);
    expected.fill(Black);
    {
        QPainter canvas(&expected);
        canvas.setFont(font);
        canvas.setPen(White);
        canvas.drawText(QPoint(x, y + metrics.ascent()), "0%");
    }
    QImage blank(100, 100, QImage::Format_RGB32);
    blank.fill(Black);
    const std::vector<QPoint> ink = Differences(expected, blank);
    ASSERT_FALSE(ink.empty());
    EXPECT_EQ(Differences(withText, face), ink) << Ascii(withText);
    for (const QPoint& p : ink) EXPECT_EQ(withText.pixelColor(p), Black);
}

TEST(GaugeText, TextIsClippedToTheFace) {
    auto gauge = MakeGauge(gkText, 0, bsSingle, true);
    gauge->resize(14, 8);
    QFont big = gauge->Font();
    big.setPixelSize(20);
    gauge->SetFont(big);
    gauge->SetMaxValue(1);
    gauge->SetProgress(1);
    const QImage picture = Picture(*gauge);
    for (int x = 0; x < 14; ++x) {
        EXPECT_EQ(picture.pixelColor(x, 0), Black) << Ascii(picture);
        EXPECT_EQ(picture.pixelColor(x, 7), Black) << Ascii(picture);
    }
    EXPECT_FALSE(Differences(picture, Picture(*MakeGauge(gkText, 14, bsSingle, false))).empty());
}

// Only the black ground of the off-screen images is left.
TEST(GaugePicture, UnknownFaceDrawsNothing) {
    auto gauge = MakeGauge(static_cast<TGaugeKind>(5), 20, bsNone, false);
    gauge->SetProgress(50);
    const QImage picture = Picture(*gauge);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) ASSERT_EQ(picture.pixelColor(x, y), Black) << x << "," << y;
}

// Window descriptions may give any size; the smallest ones must paint without harm.
TEST(GaugePicture, TinyGaugesPaintEveryFace) {
    for (int size = 0; size <= 3; ++size)
        for (TGaugeKind kind : {gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle})
            for (TBorderStyle border : {bsNone, bsSingle}) {
                auto gauge = MakeGauge(kind, size, border, true);
                for (int progress : {0, 37, 100}) {
                    gauge->SetProgress(progress);
                    EXPECT_EQ(Picture(*gauge).size(), QSize(size, size));
                }
            }
}

// Keeps a picture of every face for a person to look at.
TEST(GaugePicture, SavesTheFiveFacesAtSeveralValues) {
    const int values[] = {0, 33, 75, 100};
    const TGaugeKind kinds[] = {gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle};
    QImage sheet(5 * 110 + 10, 4 * 110 + 45, QImage::Format_RGB32);
    sheet.fill(QColor(90, 90, 90));
    QPainter canvas(&sheet);
    for (int column = 0; column < 5; ++column) {
        for (int row = 0; row < 4; ++row) {
            auto gauge = MakeGauge(kinds[column], 100, bsSingle, true);
            gauge->SetColor(BtnFace());
            gauge->SetProgress(values[row]);
            canvas.drawImage(10 + column * 110, 10 + row * 110, Picture(*gauge));
        }
    }
    int x = 10;
    for (int progress : {0, 1, 7, 15, 22, 28, 29}) {
        canvas.drawImage(x, 4 * 110 + 10, PieGAt(progress));
        x += 35;
    }
    canvas.end();
    const char* root = std::getenv("TAVOLEN_TEST_OUTPUT");
    const QString folder = root != nullptr ? QString::fromLocal8Bit(root) : QDir::tempPath();
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_TRUE(sheet.save(folder + "/gauge-faces.png"));
}
