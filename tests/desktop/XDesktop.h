// A private X desktop for end-to-end tests: Xvfb on a free display with a window manager on it
// (openbox: it draws the close boxes the tests click and answers activation requests), real
// input through xdotool (XTest), and screenshots of the root window through ImageMagick.
//
// Without a window manager's help nothing here reaches into a program: windows are found by
// their titles, clicked at screen coordinates, typed into through the focused window.
// Test thread only; the destructor stops the window manager and the server.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>

#include "Servers.h"

namespace desktop {

class XDesktop {
public:
    // Starts the server and the window manager; check ready() (and why() when it is not).
    explicit XDesktop(const QString& logDir, QSize screen = QSize(1600, 1200));
    ~XDesktop();

    bool ready() const { return m_ready; }
    QString why() const { return m_why; }
    // Programs to install for these tests (none missing gives an empty list).
    static QStringList missingPrograms();

    // DISPLAY set, QT_QPA_PLATFORM=xcb, the rest inherited.
    QProcessEnvironment environment() const { return m_env; }

    // The visible windows whose title matches `pattern` (a regular expression, xdotool's).
    QStringList findWindows(const QString& pattern) const;
    // The window's client area on the screen (frame not included); empty when it is gone.
    QRect geometry(const QString& window) const;
    // The room the window manager's frame takes around the client area (left, top, right,
    // bottom), from _NET_FRAME_EXTENTS.
    QMargins frameExtents(const QString& window) const;
    QString activeWindow() const;

    bool activate(const QString& window) const;
    bool click(QPoint at) const;
    bool drag(QPoint from, QPoint to) const;
    bool key(const QString& keys) const;  // xdotool key names, e.g. "ctrl+o"
    bool type(const QString& text) const;

    // A screenshot of the whole screen, also written to path (PNG) for a person to look at.
    QImage screenshot(const QString& path) const;

private:
    bool xdotool(const QStringList& arguments, QByteArray* out = nullptr) const;

    QProcessEnvironment m_env;
    std::unique_ptr<Child> m_server;
    std::unique_ptr<Child> m_windowManager;
    bool m_ready = false;
    QString m_why;
};

}  // namespace desktop
