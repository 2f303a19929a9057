// The real program in a real X server, driven only from outside: keys and clicks through
// XTest, what it shows read from screenshots of the root window. Every screenshot stays under
// the build's test output (desktop/<test>/) for a person to look at.
#include "Barcode.h"
#include "MediaGenerator.h"
#include "PlayerOnScreen.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace desktop;

namespace {

constexpr int kFrames = 300;

// The thumb of a vertical slider whose left edge runs down from `top`: the run of pixels in a
// column left of the groove that are not the window's face. Found on the screen rather than
// computed from the style.
int sliderThumbY(const QImage& shot, QPoint top, int length) {
    int first = -1, last = -1;
    for (int y = 0; y < length; ++y) {
        const bool thumb = std::abs(qGray(shot.pixel(top + QPoint(5, y))) - 208) > 12;
        if (thumb && first < 0) first = y;
        if (thumb) last = y;
    }
    return first < 0 ? -1 : (first + last) / 2;
}

class OnXDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        const QStringList missing = XDesktop::missingPrograms();
        if (!missing.isEmpty())
            GTEST_SKIP() << "no X desktop to test on; missing: " << missing.join(' ').toStdString();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        out = outputDir(QString::fromLatin1(info->name()));
        desktop = std::make_unique<XDesktop>(out);
        ASSERT_TRUE(desktop->ready()) << desktop->why().toStdString();
    }
    void TearDown() override {
        player.reset();  // before the server it shows on
        desktop.reset();
    }

    // A clip of numbered frames in this test's own folder, where an index file may be written.
    QString writeClip(const QString& name, QSize size) {
        fixtures::VideoSpec spec;
        spec.path = media.filePath(name);
        spec.frames = kFrames;
        spec.size = size;
        QString error;
        EXPECT_TRUE(fixtures::writeVideo(spec, &error)) << error.toStdString();
        return spec.path;
    }
    void start(const QString& file) {
        player = std::make_unique<PlayerOnScreen>(*desktop, file, out, cache.path());
        QString why;
        ASSERT_TRUE(player->waitWindow(&why)) << why.toStdString();
    }
    // Drags the thumb of the vertical slider at client point `top` (length pixels long) to
    // client point `to`.
    bool dragSlider(QPoint top, int length, QPoint to, const QString& shotName) {
        const QPoint onScreen = player->clientOrigin() + top;
        const int thumb = sliderThumbY(player->shot(shotName), onScreen, length);
        EXPECT_GE(thumb, 0) << "no slider thumb in " << shotName.toStdString();
        if (thumb < 0) return false;
        return desktop->drag(onScreen + QPoint(9, thumb), player->clientOrigin() + to + QPoint(9, 0));
    }
    // Pauses with a click on the picture, early enough in the clip for a few steps after it.
    int pauseByClick(const QString& shotName) {
        player->clickPicture();
        const int paused = player->waitStill(shotName);
        EXPECT_GE(paused, 0) << "the picture did not stop";
        EXPECT_LT(paused, kFrames - 8);
        return paused;
    }

    QTemporaryDir media;
    QTemporaryDir cache;
    QString out;
    std::unique_ptr<XDesktop> desktop;
    std::unique_ptr<PlayerOnScreen> player;
};

}  // namespace

TEST_F(OnXDesktop, PlaysPausesStepsSeeksAndZooms) {
    start(writeClip(QStringLiteral("clip.mpg"), QSize(320, 240)));
    ASSERT_TRUE(player->waitPlaying(QStringLiteral("01-playing"))) << player->process().log().toStdString();

    const int paused = pauseByClick(QStringLiteral("02-paused-by-click"));
    ASSERT_GE(paused, 0);

    // Step and Back through their buttons: one frame each, and the picture stays there.
    player->clickTransport(2);
    EXPECT_TRUE(player->waitShows(paused + 1, QStringLiteral("03-step")));
    player->clickTransport(3);
    EXPECT_TRUE(player->waitShows(paused, QStringLiteral("04-back")));

    // Dragging the position slider's thumb three quarters down: the picture follows.
    const int barLength = 240 + 18;
    ASSERT_TRUE(dragSlider(QPoint(0, 64), barLength, QPoint(0, 64 + barLength * 3 / 4),
                           QStringLiteral("05-before-drag")));
    const int sought = player->waitStill(QStringLiteral("06-after-drag"));
    EXPECT_NEAR(sought, kFrames * 3 / 4, kFrames / 10) << "picture after the drag";

    // The zoom slider to its top end (x1/3) and to its bottom end (x3): the picture is scaled
    // by the factor, its corner stays, and it still shows the same frame.
    struct Zoom {
        int toY;  // beyond the slider's ends, where the drag holds it at the end
        QSize size;
        const char* shot;
    };
    const Zoom zooms[] = {{-60, QSize(107, 80), "07-zoom-third"}, {300, QSize(960, 720), "08-zoom-three"}};
    for (const Zoom& zoom : zooms) {
        ASSERT_TRUE(dragSlider(QPoint(0, 0), 65, QPoint(0, zoom.toY),
                               QString::fromLatin1(zoom.shot) + QStringLiteral("-before")));
        player->setPictureSize(zoom.size);
        QImage shot;
        const bool resized = waitFor([&] {
            shot = player->shot(QString::fromLatin1(zoom.shot));
            const QSize measured = player->measuredPictureSize(shot);  // a pixel of blur allowed
            return std::abs(measured.width() - zoom.size.width()) <= 1 &&
                   std::abs(measured.height() - zoom.size.height()) <= 1;
        });
        EXPECT_TRUE(resized) << zoom.shot << ": measured "
                             << player->measuredPictureSize(shot).width() << "x"
                             << player->measuredPictureSize(shot).height();
        EXPECT_EQ(fixtures::readFrameNumber(shot, QRect(player->pictureOrigin(), zoom.size)), sought);
    }
    EXPECT_EQ(player->windowRect().size(), playerWindowSize(QSize(960, 720)));
}
