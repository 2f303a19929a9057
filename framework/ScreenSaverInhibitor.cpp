#include "ScreenSaverInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <optional>

namespace fw {

static const QString Service = QStringLiteral("org.freedesktop.ScreenSaver");
static const QString Path = QStringLiteral("/org/freedesktop/ScreenSaver");
static const QString Interface = QStringLiteral("org.freedesktop.ScreenSaver");

struct ScreenSaverInhibitor::State : std::enable_shared_from_this<State> {
    QDBusConnection bus;
    QString application;
    QString reason;
    bool wanted = false;
    bool requestOut = false;  // an Inhibit call awaits its reply
    std::optional<quint32> cookie;

    explicit State(const QDBusConnection& connection) : bus(connection) {}
    void request();
    void release();
    void answered(const QDBusPendingReply<quint32>& reply);
};

void ScreenSaverInhibitor::State::request() {
    if (cookie || requestOut || !bus.isConnected()) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Inhibit"));
    call << application << reason;
    requestOut = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    // The reply may come after the inhibitor is gone; the state it needs lives on with it.
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [self = shared_from_this()](QDBusPendingCallWatcher* done) {
                         self->answered(*done);
                         done->deleteLater();
                     });
}

void ScreenSaverInhibitor::State::answered(const QDBusPendingReply<quint32>& reply) {
    requestOut = false;
    if (reply.isError()) return;  // no service: the screen is simply not kept on
    cookie = reply.value();
    // Released, or released and wanted again, while the request was out.
    if (!wanted) release();
}

void ScreenSaverInhibitor::State::release() {
    if (!cookie) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("UnInhibit"));
    call << *cookie;
    cookie.reset();
    // No reply is awaited: there is nothing to do about a refusal, and waiting could stall exit.
    call.setAutoStartService(false);
    bus.send(call);
}

ScreenSaverInhibitor::ScreenSaverInhibitor(const QString& application, const QString& reason,
                                           const QDBusConnection& bus)
    : m_state(std::make_shared<State>(bus)) {
    m_state->application = application;
    m_state->reason = reason;
}

ScreenSaverInhibitor::~ScreenSaverInhibitor() { setInhibited(false); }

void ScreenSaverInhibitor::setInhibited(bool inhibited) {
    if (m_state->wanted == inhibited) return;
    m_state->wanted = inhibited;
    if (inhibited)
        m_state->request();
    else
        m_state->release();
}

bool ScreenSaverInhibitor::inhibited() const { return m_state->wanted; }

bool ScreenSaverInhibitor::awaitingAnswer() const { return m_state->requestOut; }

}  // namespace fw
