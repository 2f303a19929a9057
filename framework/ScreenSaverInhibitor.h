// Keeps the screen saver and the screen blanking off while its owner asks for it, through the
// freedesktop ScreenSaver service (org.freedesktop.ScreenSaver on the session bus).
//
// Contract
// - UI thread only: the thread that owns the bus connection's replies.
// - setInhibited(true) asks the service once and keeps the cookie it hands back;
//   setInhibited(false) and the destructor give that cookie back. Setting the value it already
//   has sends nothing.
// - Calls never block: a slow or hung service cannot stall the caller. A release that comes
//   while the request is still out is sent when the cookie arrives, also after this object is
//   gone, so no inhibition is ever left behind by a quick play and pause.
// - Without a session bus, or without the service, nothing happens and nothing is reported: a
//   screen that blanks is not an error of the program.
#pragma once

#include <QDBusConnection>
#include <QString>

#include <memory>

namespace fw {

class ScreenSaverInhibitor {
public:
    // application and reason are shown by the desktop to say who keeps the screen on, and why.
    ScreenSaverInhibitor(const QString& application, const QString& reason,
                         const QDBusConnection& bus = QDBusConnection::sessionBus());
    ~ScreenSaverInhibitor();
    ScreenSaverInhibitor(const ScreenSaverInhibitor&) = delete;
    ScreenSaverInhibitor& operator=(const ScreenSaverInhibitor&) = delete;

    void setInhibited(bool inhibited);
    bool inhibited() const;
    // Whether a request is still out, its answer not yet handled: what a test waits on rather
    // than guessing how long the bus takes.
    bool awaitingAnswer() const;

    struct State;  // shared with the replies still on their way

private:
    std::shared_ptr<State> m_state;
};

}  // namespace fw
