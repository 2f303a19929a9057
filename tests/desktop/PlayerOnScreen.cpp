#include "PlayerOnScreen.h"

#include <QColor>
#include <algorithm>

#include "Barcode.h"

namespace desktop {

namespace {

QProcessEnvironment playerEnvironment(const XDesktop& desktop, const QString& cacheDir) {
    QProcessEnvironment env = desktop.environment();
    env.insert(QStringLiteral("XDG_CACHE_HOME"), cacheDir);
    // Sound is not under test on the desktop; the sound server tests own that.
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    return env;
}

// The window's face colour (clBtnFace) next to the picture, within what a screenshot keeps.
bool isBackground(QRgb pixel) {
    return std::abs(qRed(pixel) - 212) <= 6 && std::abs(qGreen(pixel) - 208) <= 6 &&
           std::abs(qBlue(pixel) - 200) <= 6;
}

// Pixels from `from` in direction `step` before three background pixels in a row.
int runLength(const QImage& image, QPoint from, QPoint step) {
    int background = 0;
    int length = 0;
    for (QPoint p = from; image.rect().contains(p) && background < 3; p += step, ++length)
        background = isBackground(image.pixel(p)) ? background + 1 : 0;
    return length - background;
}

}  // namespace

QSize playerWindowSize(QSize picture) {
    const int outerWidth = std::max(picture.width() + 64, 384);
    const int outerHeight = picture.height() + 136;
    // The layout counts a frame of 6 and a caption of 25 that the window manager adds here.
    return QSize(outerWidth - 6, outerHeight - 25);
}

PlayerOnScreen::PlayerOnScreen(XDesktop& desktop, const QString& file, const QString& outDir,
                               const QString& cacheDir)
    : m_desktop(desktop),
      m_outDir(outDir),
      m_process(QStringLiteral(TAVOLEN_EXECUTABLE), {file}, playerEnvironment(desktop, cacheDir),
                outDir + QStringLiteral("/tavolen.log")) {}

bool PlayerOnScreen::waitWindow(QString* why) {
    const bool found = waitFor([&] {
        const QStringList windows = m_desktop.findWindows(QStringLiteral("^たぼれん$"));
        if (!windows.isEmpty()) m_window = windows.constFirst();
        return !windows.isEmpty() || !m_process.running();
    });
    if (!found || m_window.isEmpty()) {
        *why = QStringLiteral("no player window; its log: ") + m_process.log();
        return false;
    }
    return true;
}

QPoint PlayerOnScreen::clientOrigin() const {
    return windowRect().topLeft() + QPoint(0, 20);  // under the menu bar
}

QImage PlayerOnScreen::shot(const QString& name) {
    return m_desktop.screenshot(m_outDir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

int PlayerOnScreen::shownFrame(const QString& shotName) {
    const QImage image = shot(shotName);
    if (image.isNull()) return -1;
    return fixtures::readFrameNumber(image, QRect(pictureOrigin(), m_pictureSize));
}

bool PlayerOnScreen::waitShows(int frame, const QString& shotName) {
    if (!waitFor([&] { return shownFrame(shotName) == frame; })) return false;
    return shownFrame(shotName) == frame;  // and not just passing by
}

int PlayerOnScreen::waitStill(const QString& shotName) {
    int last = -2;
    int same = 0;
    const bool still = waitFor([&] {
        const int now = shownFrame(shotName);
        same = now == last && now >= 0 ? same + 1 : 0;
        last = now;
        return same >= 2;
    });
    return still ? last : -1;
}

bool PlayerOnScreen::waitPlaying(const QString& shotName) {
    int first = -1;
    return waitFor([&] {
        const int now = shownFrame(shotName);
        if (first < 0) first = now;
        return now >= 0 && now != first;
    });
}

QPoint PlayerOnScreen::transportCentre(int slot) const {
    // The bar is asked for the picture's width + 21 and fits it to four whole buttons that
    // overlap by one pixel; never narrower than 320.
    const int n = 4;
    int buttonWidth = (m_pictureSize.width() + 21 - 1) / n + 1;
    if (n * (buttonWidth - 1) + 1 < 320) buttonWidth = (320 - 1) / n + 1;
    return QPoint(32 + slot * (buttonWidth - 1) + buttonWidth / 2, 12);
}

void PlayerOnScreen::clickTransport(int slot) {
    m_desktop.click(clientOrigin() + transportCentre(slot));
}

QList<bool> PlayerOnScreen::enabledTransport(const QImage& shot) const {
    QList<bool> enabled;
    for (int slot = 0; slot < 4; ++slot) {
        // The glyph sits in the middle of its button, within 12 pixels either way.
        const QRect glyph(clientOrigin() + transportCentre(slot) - QPoint(12, 8), QSize(25, 17));
        int coloured = 0;
        for (int y = glyph.top(); y <= glyph.bottom(); ++y) {
            for (int x = glyph.left(); x <= glyph.right(); ++x) {
                const QColor pixel = shot.pixelColor(x, y);
                coloured += pixel.hsvSaturation() > 120 && pixel.value() > 80;
            }
        }
        enabled << (coloured >= 6);
    }
    return enabled;
}

void PlayerOnScreen::clickPicture() {
    m_desktop.click(pictureOrigin() +
                    QPoint(m_pictureSize.width() / 2, m_pictureSize.height() * 2 / 3));
}

QSize PlayerOnScreen::measuredPictureSize(const QImage& shot) const {
    // Along the barcode's first bar (black) downward, and along the field under the number
    // rightward.
    const QPoint origin = pictureOrigin();
    const int height = runLength(shot, origin + QPoint(1, 1), QPoint(0, 1)) + 1;
    const int width = runLength(shot, origin + QPoint(1, height * 14 / 15), QPoint(1, 0)) + 1;
    return QSize(width, height);
}

}  // namespace desktop
