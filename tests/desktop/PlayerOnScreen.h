// The real tavolen on an X desktop, seen only from outside: its windows by title, its picture
// through screenshots of the root window (the frames carry their own number, Barcode.h), its
// controls by their place in the window as the window description lays them out.
#pragma once

#include <QImage>
#include <QList>
#include <QSize>

#include "XDesktop.h"

namespace desktop {

class PlayerOnScreen {
public:
    // Starts the player on `file` with a private cache folder and silent sound.
    PlayerOnScreen(XDesktop& desktop, const QString& file, const QString& outDir,
                   const QString& cacheDir);

    // Waits for the player window and returns false with a reason when it does not appear.
    bool waitWindow(QString* why);
    Child& process() { return m_process; }
    QString window() const { return m_window; }
    QRect windowRect() const { return m_desktop.geometry(m_window); }
    // The client area's top left on the screen: under the window's menu bar.
    QPoint clientOrigin() const;
    QPoint pictureOrigin() const { return clientOrigin() + QPoint(42, 74); }
    void setPictureSize(QSize size) { m_pictureSize = size; }
    QSize pictureSize() const { return m_pictureSize; }

    // A screenshot saved as <outDir>/<name>.png (replaced on every call with the same name).
    QImage shot(const QString& name);
    // The number of the frame the picture shows now, -1 when none is readable.
    int shownFrame(const QString& shotName);
    // Polls until the picture shows `frame`, then checks that it stays there.
    bool waitShows(int frame, const QString& shotName);
    // Polls until three screenshots in a row show the same frame; that frame, or -1.
    int waitStill(const QString& shotName);
    // Polls until the picture shows two different frames in turn (it plays).
    bool waitPlaying(const QString& shotName);

    // Clicks the transport bar's slot (0 Play, 1 Pause, 2 Step, 3 Back, the visible buttons).
    void clickTransport(int slot);
    // Which of those four the screenshot shows enabled: an enabled button's glyph is coloured,
    // a disabled one's grey.
    QList<bool> enabledTransport(const QImage& shot) const;
    void clickPicture();
    // The picture's extent as the screenshot shows it: the run of non-background pixels from
    // its top-left corner to the right and downward.
    QSize measuredPictureSize(const QImage& shot) const;

private:
    QPoint transportCentre(int slot) const;  // in the client area

    XDesktop& m_desktop;
    QString m_outDir;
    Child m_process;
    QString m_window;
    QSize m_pictureSize{320, 240};
};

// The outer size of the player's X window (menu bar and client area, without the window
// manager's frame) for a picture of `picture` at zoom 1, as the layout rules plan it.
QSize playerWindowSize(QSize picture);

}  // namespace desktop
