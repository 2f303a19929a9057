// The real program under a Wayland compositor: weston's headless backend, drawing with pixman so
// that its screenshooter can read the output back, and Qt's wayland platform in the program.
// A headless weston has no seat, so nothing can click from outside; the test loads a small
// input plugin into the program (input/TestInput.cpp) that turns lines on its standard input
// into clicks delivered through the window, and into menu commands.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLibraryInfo>
#include <QTemporaryDir>

#include "Barcode.h"
#include "MediaGenerator.h"
#include "Servers.h"

using namespace desktop;

namespace {

constexpr QSize kPicture(320, 240);

class Weston {
public:
    explicit Weston(const QString& logDir) {
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        m_env.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("tavolen-test"));
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        m_env.remove(QStringLiteral("DISPLAY"));  // no way back to X
        // --debug lets the screenshooter in; pixman makes the output readable.
        m_server = std::make_unique<Child>(
            QStringLiteral("weston"),
            QStringList{QStringLiteral("--backend=headless-backend.so"),
                        QStringLiteral("--use-pixman"), QStringLiteral("--socket=tavolen-test"),
                        QStringLiteral("--width=1280"), QStringLiteral("--height=1024"),
                        QStringLiteral("--idle-time=0"), QStringLiteral("--debug")},
            m_env, logDir + QStringLiteral("/weston.log"));
        const QString socket = m_runtime.path() + QStringLiteral("/tavolen-test");
        m_ready = waitFor([&] { return QFileInfo::exists(socket) || !m_server->running(); }) &&
                  m_server->running();
    }
    bool ready() const { return m_ready; }
    QString log() const { return m_server->log(); }
    QProcessEnvironment environment() const { return m_env; }

    // The whole output; the screenshooter names its file itself, in its working folder.
    QImage screenshot(const QString& path) const {
        QTemporaryDir into;
        QProcess shooter;
        shooter.setProcessEnvironment(m_env);
        shooter.setWorkingDirectory(into.path());
        shooter.start(QStringLiteral("weston-screenshooter"), {});
        if (!shooter.waitForFinished(kTimeoutMs) || shooter.exitCode() != 0) return {};
        const QStringList shots = QDir(into.path()).entryList({QStringLiteral("*.png")});
        if (shots.isEmpty()) return {};
        QFile::remove(path);
        QFile::rename(into.filePath(shots.constFirst()), path);
        return QImage(path).convertToFormat(QImage::Format_RGB32);
    }

private:
    RuntimeDir m_runtime;
    QProcessEnvironment m_env;
    std::unique_ptr<Child> m_server;
    bool m_ready = false;
};

bool dark(QRgb p) { return qGray(p) < 60; }
bool light(QRgb p) { return qGray(p) > 190; }

// Where a window manager of its own choosing put the picture: its barcode begins with a
// black bar and a white one, each 1/20 of the width and a third of the height tall.
QPoint findPicture(const QImage& shot) {
    const int bar = kPicture.width() / 20;
    const int tall = kPicture.height() / 3;
    for (int y = 1; y + kPicture.height() <= shot.height(); ++y)
        for (int x = 1; x + kPicture.width() <= shot.width(); ++x) {
            if (!dark(shot.pixel(x, y)) || dark(shot.pixel(x - 1, y)) || dark(shot.pixel(x, y - 1)))
                continue;
            if (dark(shot.pixel(x + bar - 2, y + tall - 2)) &&
                light(shot.pixel(x + bar + 1, y + 1)) &&
                light(shot.pixel(x + 2 * bar - 2, y + tall - 2)) &&
                fixtures::readFrameNumber(shot, QRect(QPoint(x, y), kPicture)) >= 0)
                return QPoint(x, y);
        }
    return QPoint(-1, -1);
}

}  // namespace

TEST(OnWayland, StartsOpensPlaysPausesOnAClickAndQuits) {
    for (const char* program : {"weston", "weston-screenshooter"})
        if (!haveProgram(QString::fromLatin1(program)))
            GTEST_SKIP() << "no Wayland compositor to test on; missing: " << program;
    const QString platforms =
        QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    if (!QFileInfo::exists(platforms + QStringLiteral("/libqwayland-generic.so")))
        GTEST_SKIP() << "Qt's wayland platform (qt6-wayland) is not installed";
    const QString out = outputDir(QStringLiteral("wayland"));
    Weston weston(out);
    ASSERT_TRUE(weston.ready()) << weston.log().toStdString();

    QString error;
    const QString clip = fixtures::clip(fixtures::ClipKind::WithSound, &error);  // 300 frames
    ASSERT_FALSE(clip.isEmpty()) << error.toStdString();
    QTemporaryDir cache;
    QProcessEnvironment env = weston.environment();
    env.insert(QStringLiteral("XDG_CACHE_HOME"), cache.path());
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    env.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(TAVOLEN_TEST_PLUGINS));
    env.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"), QStringLiteral("tavolentestinput"));
    Child player(QStringLiteral(TAVOLEN_EXECUTABLE), {clip}, env,
                 out + QStringLiteral("/tavolen.log"));

    // It plays: the picture appears and its frame number moves on.
    QPoint picture(-1, -1);
    int first = -1;
    int frame = -1;
    const auto shownFrame = [&](const char* name) {
        const QImage shot =
            weston.screenshot(out + QLatin1Char('/') + QLatin1String(name) + ".png");
        if (shot.isNull()) return -1;
        if (picture.x() < 0) picture = findPicture(shot);
        return picture.x() < 0 ? -1 : fixtures::readFrameNumber(shot, QRect(picture, kPicture));
    };
    ASSERT_TRUE(waitFor([&] {
        frame = shownFrame("01-playing");
        if (first < 0) first = frame;
        return frame >= 0 && frame != first;
    })) << "no picture playing; the program's log:\n"
        << player.log().toStdString();

    // A click on the picture pauses it: three screenshots in a row show the same frame.
    player.process().write("click TavolenForm 202 234\n");
    int same = 0;
    ASSERT_TRUE(waitFor([&] {
        const int now = shownFrame("02-paused");
        same = now == frame && now >= 0 ? same + 1 : 0;
        frame = now;
        return same >= 2;
    })) << "still moving after the click";

    // ファイル > 終了 ends it cleanly.
    player.process().write("trigger Exit1\n");
    EXPECT_EQ(player.waitExit(), 0) << player.log().toStdString();
    EXPECT_TRUE(weston.ready());
}
