// One mpv process, idle and paused, and its JSON IPC socket: commands out, replies and events
// in. Messages are read in arrival order; a wait consumes everything up to what it waited for,
// so an event that came before the request it should answer cannot be mistaken for the answer.
// Blocking calls with time limits; UI thread only (no Qt event loop is needed).
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <optional>

namespace bench {

class MpvConnection {
public:
    MpvConnection() = default;
    ~MpvConnection();
    MpvConnection(const MpvConnection&) = delete;
    MpvConnection& operator=(const MpvConnection&) = delete;

    // True when an mpv is on PATH.
    static bool available();
    // Starts mpv and connects; false with a reason.
    bool start(QString* error);
    qint64 pid() const { return m_process.processId(); }

    // Sends a command; returns its request id, or -1 when the socket is gone.
    int send(const QJsonArray& command);
    // The first message (from now on, in order) that satisfies the test, or nullopt after
    // timeoutMs. Everything before it is dropped.
    using Test = std::function<bool(const QJsonObject&)>;
    std::optional<QJsonObject> waitFor(const Test& test, int timeoutMs);
    // Waits for the event, failing early on an error reply to request `id`.
    bool waitEvent(const QString& event, int id, int timeoutMs);
    // A command and its reply's data; nullopt on an error reply or time-out.
    std::optional<QJsonValue> request(const QJsonArray& command, int timeoutMs = 10000);
    std::optional<QJsonValue> property(const QString& name) {
        return request({"get_property", name});
    }
    bool setProperty(const QString& name, const QJsonValue& value);
    // Reads whatever has arrived for up to ms and drops it.
    void drain(int ms = 0);

private:
    bool readSome(int timeoutMs);  // false on a closed socket
    void parseLines();

    QProcess m_process;
    QTemporaryDir m_dir;
    int m_socket = -1;
    int m_nextId = 1;
    QByteArray m_buffer;
    std::deque<QJsonObject> m_messages;
};

}  // namespace bench
