#include "MpvConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QThread>
#include <cstring>

namespace bench {

namespace {

constexpr int kConnectTimeoutMs = 10000;

int connectTo(const QString& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = path.toLocal8Bit();
    std::strncpy(address.sun_path, name.constData(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

}  // namespace

MpvConnection::~MpvConnection() {
    if (m_socket >= 0) {
        send({"quit"});
        ::close(m_socket);
    }
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool MpvConnection::available() { return !QStandardPaths::findExecutable("mpv").isEmpty(); }

bool MpvConnection::start(QString* error) {
    const QString socketPath = m_dir.filePath("mpv.sock");
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    // --keep-open: a step onto the last frame must not unload the file.
    m_process.start(
        "mpv", {"--idle=yes", "--input-ipc-server=" + socketPath, "--vo=null", "--ao=null",
                "--hr-seek=yes", "--pause", "--no-config", "--no-terminal", "--keep-open=yes"});
    if (!m_process.waitForStarted(kConnectTimeoutMs)) {
        *error = QStringLiteral("mpv did not start: ") + m_process.errorString();
        return false;
    }
    QElapsedTimer waited;
    waited.start();
    while ((m_socket = connectTo(socketPath)) < 0 && waited.elapsed() < kConnectTimeoutMs)
        QThread::msleep(20);
    if (m_socket < 0) *error = QStringLiteral("no mpv IPC socket at %1").arg(socketPath);
    return m_socket >= 0;
}

int MpvConnection::send(const QJsonArray& command) {
    if (m_socket < 0) return -1;
    const int id = m_nextId++;
    QByteArray line = QJsonDocument(QJsonObject{{"command", command}, {"request_id", id}})
                          .toJson(QJsonDocument::Compact);
    line += '\n';
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n =
            ::write(m_socket, line.constData() + written, size_t(line.size() - written));
        if (n <= 0) return -1;
        written += n;
    }
    return id;
}

bool MpvConnection::readSome(int timeoutMs) {
    pollfd fd{m_socket, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) <= 0) return true;
    char chunk[65536];
    const ssize_t n = ::read(m_socket, chunk, sizeof chunk);
    if (n <= 0) return false;
    m_buffer.append(chunk, n);
    parseLines();
    return true;
}

void MpvConnection::parseLines() {
    qsizetype end;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        const QJsonDocument document = QJsonDocument::fromJson(m_buffer.left(end));
        m_buffer.remove(0, end + 1);
        if (document.isObject()) m_messages.push_back(document.object());
    }
}

std::optional<QJsonObject> MpvConnection::waitFor(const Test& test, int timeoutMs) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        while (!m_messages.empty()) {
            QJsonObject message = std::move(m_messages.front());
            m_messages.pop_front();
            if (test(message)) return message;
        }
        const qint64 left = timeoutMs - waited.elapsed();
        if (left <= 0 || !readSome(int(left))) return std::nullopt;
    }
}

bool MpvConnection::waitEvent(const QString& event, int id, int timeoutMs) {
    const auto found = waitFor(
        [&](const QJsonObject& m) {
            return m["event"].toString() == event ||
                   (m["request_id"].toInt() == id && m["error"].toString() != "success");
        },
        timeoutMs);
    return found && (*found)["event"].toString() == event;
}

std::optional<QJsonValue> MpvConnection::request(const QJsonArray& command, int timeoutMs) {
    const int id = send(command);
    if (id < 0) return std::nullopt;
    const auto reply =
        waitFor([&](const QJsonObject& m) { return m["request_id"].toInt() == id; }, timeoutMs);
    if (!reply || (*reply)["error"].toString() != "success") return std::nullopt;
    return (*reply)["data"];
}

bool MpvConnection::setProperty(const QString& name, const QJsonValue& value) {
    return request({"set_property", name, value}).has_value();
}

void MpvConnection::drain(int ms) {
    QElapsedTimer waited;
    waited.start();
    do {
        if (!readSome(int(std::max<qint64>(0, ms - waited.elapsed())))) break;
    } while (waited.elapsed() < ms);
    m_messages.clear();
}

}  // namespace bench
