// The real program in a real X server, driven only from outside: keys and clicks through
// XTest, what it shows read from screenshots of the root window. Every screenshot stays under
// the build's test output (desktop/<test>/) for a person to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "Barcode.h"
#include "MediaGenerator.h"
#include "PlayerOnScreen.h"

using namespace desktop;

namespace {

constexpr int kFrames = 600;  // twenty seconds: a pause lands well before the end

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
        out = outputDir(QStringLiteral("x/") + QString::fromLatin1(info->name()));
        desktop = std::make_unique<XDesktop>(out);
        ASSERT_TRUE(desktop->ready()) << desktop->why().toStdString();
    }
    void TearDown() override {
        player.reset();  // before the server it shows on
        desktop.reset();
    }

    // A clip of numbered frames in this test's own folder, where an index file may be written.
    QString writeClip(const QString& name, QSize size,
                      fixtures::VideoCodec codec = fixtures::VideoCodec::Mpeg1,
                      fixtures::Container container = fixtures::Container::Mpg) {
        fixtures::VideoSpec clipSpec;
        clipSpec.path = media.filePath(name);
        clipSpec.codec = codec;
        clipSpec.container = container;
        clipSpec.frames = kFrames;
        clipSpec.size = size;
        QString error;
        EXPECT_TRUE(fixtures::writeVideo(clipSpec, &error)) << error.toStdString();
        return clipSpec.path;
    }
    void start(const QString& file) {
        player = std::make_unique<PlayerOnScreen>(*desktop, file, out, cache.path());
        QString why;
        ASSERT_TRUE(player->waitWindow(&why)) << why.toStdString();
    }
    // Sends the keys that open a dialog and returns the dialog's window once it is active.
    QString openDialog(const QString& keys, const QString& shotName) {
        desktop->key(keys);
        QString dialog;
        waitFor([&] {
            dialog = desktop->activeWindow();
            return !dialog.isEmpty() &&
                   desktop->findWindows(QStringLiteral("^(たぼれん|Index)$")).indexOf(dialog) < 0;
        });
        player->shot(shotName);
        return desktop->findWindows(QStringLiteral("^(たぼれん|Index)$")).contains(dialog)
                   ? QString()
                   : dialog;
    }
    // Return, again while the dialog stays (the first may only close the name completer).
    void accept(const QString& dialog) {
        waitFor(
            [&] {
                if (desktop->activeWindow() != dialog) return true;
                desktop->key(QStringLiteral("Return"));
                return false;
            },
            kTimeoutMs, 1000);
    }
    // Moves a window of the player's (the index window, which first shows in the middle of the
    // screen) to the right of the player window, as a user would to see both.
    bool moveBesidePlayer(const QString& window) {
        const QRect playerRect = player->windowRect();
        const QMargins frame = desktop->frameExtents(player->window());
        const QPoint beside(playerRect.right() + frame.right() + 16,
                            playerRect.top() - frame.top());
        return waitFor([&] {
            if (desktop->geometry(window).left() > playerRect.right() + frame.right()) return true;
            runCommand(QStringLiteral("xdotool"),
                       {QStringLiteral("windowmove"), window, QString::number(beside.x()),
                        QString::number(beside.y())},
                       desktop->environment());
            return false;
        });
    }
    // Drags the thumb of the vertical slider at client point `top` (length pixels long) to
    // client point `to`.
    bool dragSlider(QPoint top, int length, QPoint to, const QString& shotName) {
        const QPoint onScreen = player->clientOrigin() + top;
        const int thumb = sliderThumbY(player->shot(shotName), onScreen, length);
        EXPECT_GE(thumb, 0) << "no slider thumb in " << shotName.toStdString();
        if (thumb < 0) return false;
        return desktop->drag(onScreen + QPoint(9, thumb),
                             player->clientOrigin() + to + QPoint(9, 0));
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
    ASSERT_TRUE(player->waitPlaying(QStringLiteral("01-playing")))
        << player->process().log().toStdString();

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
    const Zoom zooms[] = {{-60, QSize(107, 80), "07-zoom-third"},
                          {300, QSize(960, 720), "08-zoom-three"}};
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
        EXPECT_EQ(fixtures::readFrameNumber(shot, QRect(player->pictureOrigin(), zoom.size)),
                  sought);
    }
    EXPECT_EQ(player->windowRect().size(), playerWindowSize(QSize(960, 720)));
}

// A short clip with sound, rewritten in place while it plays with repeat on (another clip
// written over it, as `cat other.avi > clip.mpg` does, or cut to nothing): the player must not
// stand frozen in the playing state. The picture stops, the transport shows the stopped state,
// and Play is refused instead of starting the same failure again.
TEST_F(OnXDesktop, AFileRewrittenWhilePlayingStopsAndTheTransportShowsIt) {
    fixtures::VideoSpec otherSpec;
    otherSpec.path = media.filePath(QStringLiteral("other.avi"));
    otherSpec.container = fixtures::Container::Avi;
    otherSpec.codec = fixtures::VideoCodec::Mjpeg;
    otherSpec.withAudio = true;
    QString error;
    ASSERT_TRUE(fixtures::writeVideo(otherSpec, &error)) << error.toStdString();
    QFile other(otherSpec.path);
    ASSERT_TRUE(other.open(QIODevice::ReadOnly));

    struct Rewrite {
        QString name;
        QByteArray bytes;
    };
    const Rewrite rewrites[] = {{QStringLiteral("other"), other.readAll()},
                                {QStringLiteral("emptied"), QByteArray()}};
    const QList<bool> stopped{true, false, true, true};  // Play, Step and Back
    for (const Rewrite& rewrite : rewrites) {
        SCOPED_TRACE(rewrite.name.toStdString());
        fixtures::VideoSpec clipSpec;  // three seconds at 25 frames a second
        clipSpec.path = media.filePath(QStringLiteral("clip.mpg"));
        clipSpec.frames = 75;
        clipSpec.fpsNum = 25;
        clipSpec.withAudio = true;
        ASSERT_TRUE(fixtures::writeVideo(clipSpec, &error)) << error.toStdString();
        player.reset();
        start(clipSpec.path);
        const QString shot = rewrite.name + QLatin1Char('-');
        ASSERT_TRUE(
            waitFor([&] { return player->shownFrame(shot + QStringLiteral("01-playing")) >= 25; }));

        QFile file(clipSpec.path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(rewrite.bytes), rewrite.bytes.size());
        file.close();

        QList<bool> shown;
        EXPECT_TRUE(waitFor([&] {
            shown = player->enabledTransport(player->shot(shot + QStringLiteral("02-rewritten")));
            return shown == stopped;
        })) << "enabled Play, Pause, Step, Back: "
            << shown[0] << shown[1] << shown[2] << shown[3];
        const int still = player->waitStill(shot + QStringLiteral("03-still"));
        EXPECT_GE(still, 25);

        // Play again: the device answers that it cannot read the file, and nothing moves.
        player->clickTransport(0);
        EXPECT_EQ(player->waitStill(shot + QStringLiteral("04-play-again")), still);
        EXPECT_EQ(player->enabledTransport(player->shot(shot + QStringLiteral("04-play-again"))),
                  stopped);
    }
}

TEST_F(OnXDesktop, OpensAnotherSizeKeepsAnIndexAndQuitsThroughTheMenu) {
    const QString second = writeClip(QStringLiteral("second.mp4"), QSize(480, 360),
                                     fixtures::VideoCodec::H264, fixtures::Container::Mp4);
    start(writeClip(QStringLiteral("first.mpg"), QSize(320, 240)));
    ASSERT_TRUE(player->waitPlaying(QStringLiteral("01-first-playing")));
    EXPECT_EQ(player->windowRect().size(), playerWindowSize(QSize(320, 240)));

    // Ctrl+O and the real open dialog: the name typed into it, Return. The window is laid out
    // around the new picture, which starts by itself.
    ASSERT_TRUE(desktop->activate(player->window()));
    const QString dialog = openDialog(QStringLiteral("ctrl+o"), QStringLiteral("02-open-dialog"));
    ASSERT_FALSE(dialog.isEmpty()) << "no open dialog";
    desktop->key(QStringLiteral("ctrl+a"));
    desktop->type(second);
    accept(dialog);
    ASSERT_TRUE(waitFor([&] {
        return player->windowRect().size() == playerWindowSize(QSize(480, 360));
    })) << "window "
        << player->windowRect().width() << "x" << player->windowRect().height();
    player->setPictureSize(QSize(480, 360));
    ASSERT_TRUE(player->waitPlaying(QStringLiteral("03-second-playing")));

    // F1 shows the index window.
    ASSERT_TRUE(desktop->activate(player->window()));
    desktop->key(QStringLiteral("F1"));
    QString index;
    ASSERT_TRUE(waitFor([&] {
        const QStringList found = desktop->findWindows(QStringLiteral("^Index$"));
        index = found.isEmpty() ? QString() : found.constFirst();
        return !index.isEmpty();
    })) << "no index window after F1";
    player->shot(QStringLiteral("04-index-shown"));
    ASSERT_TRUE(moveBesidePlayer(index));
    const QRect indexRect = desktop->geometry(index);

    // 登録 records the frame shown, twice three frames apart; a click on the first entry goes
    // back there.
    const int first = pauseByClick(QStringLiteral("05-paused"));
    ASSERT_GE(first, 0);
    const QPoint reg = indexRect.topLeft() + QPoint(52, 272);
    desktop->click(reg);
    for (int step = 1; step <= 3; ++step) {
        player->clickTransport(2);
        ASSERT_TRUE(player->waitShows(first + step, QStringLiteral("06-stepped")));
    }
    desktop->click(reg);
    desktop->click(indexRect.topLeft() + QPoint(30, 6));  // the list's first line
    EXPECT_TRUE(player->waitShows(first, QStringLiteral("07-first-entry-chosen")));

    // Ctrl+I and the real save dialog, which proposes the clip's name with .idx beside it.
    ASSERT_TRUE(desktop->activate(player->window()));
    const QString save = openDialog(QStringLiteral("ctrl+i"), QStringLiteral("08-save-dialog"));
    ASSERT_FALSE(save.isEmpty()) << "no save dialog";
    accept(save);
    QFile saved(media.filePath(QStringLiteral("second.idx")));
    ASSERT_TRUE(waitFor([&] { return saved.exists(); })) << "no index file written";
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(),
              QByteArray::number(first) + "\r\n" + QByteArray::number(first + 3) + "\r\n");

    // The close box hides the index window; F1 brings it back where it was (where it was moved).
    const QMargins frame = desktop->frameExtents(index);
    desktop->click(QPoint(indexRect.right() - 10, indexRect.top() - frame.top() / 2));
    ASSERT_TRUE(waitFor([&] { return desktop->findWindows(QStringLiteral("^Index$")).isEmpty(); }))
        << "the close box did not hide the index window";
    player->shot(QStringLiteral("09-index-closed"));
    ASSERT_TRUE(desktop->activate(player->window()));
    desktop->key(QStringLiteral("F1"));
    QRect reopened;
    EXPECT_TRUE(waitFor([&] {
        const QStringList found =
            desktop->findWindows(QStringLiteral("^Index$"));  // maybe a new X window
        reopened = found.isEmpty() ? QRect() : desktop->geometry(found.constFirst());
        return reopened == indexRect;
    })) << "reopened at "
        << reopened.x() << "," << reopened.y() << " instead of " << indexRect.x() << ","
        << indexRect.y();
    player->shot(QStringLiteral("10-index-reopened"));

    // ファイル > 終了: the menu opens under its title, X chooses 終了(X).
    ASSERT_TRUE(desktop->activate(player->window()));
    const QRect under(player->windowRect().topLeft() + QPoint(0, 22), QSize(120, 60));
    const QImage closed = player->shot(QStringLiteral("11-before-menu")).copy(under);
    desktop->click(player->windowRect().topLeft() + QPoint(30, 10));
    ASSERT_TRUE(waitFor([&] {
        return player->shot(QStringLiteral("12-file-menu")).copy(under) != closed;
    })) << "the file menu did not open";
    desktop->key(QStringLiteral("x"));
    EXPECT_EQ(player->process().waitExit(), 0) << player->process().log().toStdString();
    // Files in good order leave the terminal quiet: nothing from the decoders.
    const QRegularExpression decoderNote(QStringLiteral("\\[\\w+ @ 0x"));
    EXPECT_FALSE(player->process().log().contains(decoderNote))
        << player->process().log().toStdString();
}

// The index window stays on top and first shows in the middle of the screen, where dialogs
// appear too: the open dialog comes above it, as the window manager stacks them (the order of
// _NET_CLIENT_LIST_STACKING, bottom first).
TEST_F(OnXDesktop, TheOpenDialogComesAboveTheIndexWindow) {
    start(writeClip(QStringLiteral("clip.mpg"), QSize(320, 240)));
    ASSERT_TRUE(player->waitPlaying(QStringLiteral("01-playing")));
    ASSERT_TRUE(desktop->activate(player->window()));
    desktop->key(QStringLiteral("F1"));
    QString index;
    ASSERT_TRUE(waitFor([&] {
        const QStringList found = desktop->findWindows(QStringLiteral("^Index$"));
        index = found.value(0);
        return !index.isEmpty();
    })) << "no index window after F1";
    ASSERT_TRUE(desktop->activate(player->window()));
    const QString dialog = openDialog(QStringLiteral("ctrl+o"), QStringLiteral("02-open-dialog"));
    ASSERT_FALSE(dialog.isEmpty()) << "no open dialog";
    const CommandResult stacking = runCommand(
        QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST_STACKING")},
        desktop->environment());
    QStringList order;
    for (const auto& id : QRegularExpression(QStringLiteral("0x[0-9a-f]+"))
                              .globalMatch(QString::fromLatin1(stacking.out)))
        order << QString::number(id.captured().toULongLong(nullptr, 16));
    ASSERT_TRUE(order.contains(index) && order.contains(dialog)) << stacking.out.toStdString();
    EXPECT_GT(order.indexOf(dialog), order.indexOf(index)) << stacking.out.toStdString();
    desktop->key(QStringLiteral("Escape"));
}

TEST_F(OnXDesktop, SampleWithItsIndexWindowForTheReadme) {
    const CommandResult made =
        runCommand(QStringLiteral(TAVOLEN_MAKE_SAMPLE), {QStringLiteral(TAVOLEN_SAMPLE_DIR)},
                   QProcessEnvironment::systemEnvironment());
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    start(QStringLiteral(TAVOLEN_SAMPLE_DIR "/sample.mpg"));
    ASSERT_TRUE(player->waitPlaying(QStringLiteral("01-playing")));
    // The sample's index file shows the index window; it goes beside the player.
    QString index;
    ASSERT_TRUE(waitFor([&] {
        const QStringList found = desktop->findWindows(QStringLiteral("^Index$"));
        index = found.isEmpty() ? QString() : found.constFirst();
        return !index.isEmpty();
    })) << "the sample's index did not show the index window";
    ASSERT_TRUE(moveBesidePlayer(index));
    const QRect playerRect = player->windowRect();
    const QMargins playerFrame = desktop->frameExtents(player->window());
    const QMargins indexFrame = desktop->frameExtents(index);
    const QImage shot = player->shot(QStringLiteral("02-with-index"));
    const QRect both = playerRect.marginsAdded(playerFrame)
                           .united(desktop->geometry(index).marginsAdded(indexFrame))
                           .adjusted(-12, -12, 12, 12);
    ASSERT_TRUE(shot.copy(both).save(out + QStringLiteral("/player-and-index.png")));
}
