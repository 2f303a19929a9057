#include "SoundServer.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <csignal>
#include <cstring>

namespace desktop {

QStringList SoundServer::missingPrograms() {
    QStringList missing;
    for (const char* program : {"pulseaudio", "parec", "pactl"})
        if (!haveProgram(QString::fromLatin1(program))) missing << QString::fromLatin1(program);
    return missing;
}

SoundServer::SoundServer(const QString& logDir) {
    if (!m_runtime.valid()) {
        m_why = QStringLiteral("no runtime folder");
        return;
    }
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
    m_env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), m_runtime.path() + QStringLiteral("/pulse"));
    // Its cookie and state go here too, not into the user's home.
    m_env.insert(QStringLiteral("HOME"), m_runtime.path());
    m_env.insert(QStringLiteral("PULSE_SERVER"),
                 QStringLiteral("unix:") + m_runtime.path() + QStringLiteral("/pulse/native"));
    m_env.remove(QStringLiteral("PULSE_SINK"));
    // As root it warns that a per-user server is meant for users; that is what a test wants.
    m_server = std::make_unique<Child>(
        QStringLiteral("pulseaudio"),
        QStringList{
            QStringLiteral("--daemonize=no"), QStringLiteral("--system=false"),
            QStringLiteral("--exit-idle-time=-1"), QStringLiteral("-n"),
            QStringLiteral("--load=module-null-sink sink_name=%1").arg(QLatin1String(kSink)),
            QStringLiteral("--load=module-native-protocol-unix"),
            QStringLiteral("--log-target=stderr")},
        m_env, logDir + QStringLiteral("/pulseaudio.log"));
    m_ready =
        waitFor([&] {
            return runCommand(QStringLiteral("pactl"), {QStringLiteral("info")}, m_env).exitCode ==
                       0 ||
                   !m_server->running();
        }) &&
        m_server->running();
    if (!m_ready) m_why = QStringLiteral("pulseaudio did not start: ") + m_server->log();
}

SoundServer::~SoundServer() { m_server.reset(); }

void SoundServer::useInThisProcess() const {
    for (const char* name : {"XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH", "PULSE_SERVER"})
        qputenv(name, m_env.value(QString::fromLatin1(name)).toLocal8Bit());
    qputenv("SDL_AUDIODRIVER", "pulseaudio");
    qunsetenv("TAVOLEN_AUDIO");
}

SoundRecorder::SoundRecorder(const SoundServer& server) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    std::vector<QByteArray> keep;
    const QProcessEnvironment env = server.environment();
    for (const QString& entry : env.toStringList()) keep.push_back(entry.toLocal8Bit());
    std::vector<char*> envp;
    for (QByteArray& entry : keep) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const QByteArray device = QByteArray("--device=") + SoundServer::kSink + ".monitor";
    const QByteArray rate = "--rate=" + QByteArray::number(kRate);
    const char* argv[] = {"parec",          device.constData(), "--format=s16le", "--channels=1",
                          rate.constData(), "--latency-msec=5", "--raw",          nullptr};
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);  // the test ended before the line above
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::execvpe("parec", const_cast<char**>(argv), envp.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (m_pid < 0) {
        ::close(pipeFds[0]);
        return;
    }
    m_reader = std::thread([this, fd = pipeFds[0]] { readLoop(fd); });
}

SoundRecorder::~SoundRecorder() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_reader.joinable()) m_reader.join();  // the pipe's end wakes it
}

void SoundRecorder::readLoop(int fd) {
    std::int16_t buffer[4096];
    std::size_t carry = 0;  // a byte of a sample split across reads
    unsigned char odd = 0;
    for (;;) {
        unsigned char* bytes = reinterpret_cast<unsigned char*>(buffer);
        if (carry) bytes[0] = odd;
        const ssize_t got = ::read(fd, bytes + carry, sizeof buffer - carry);
        const auto at = Clock::now();
        if (got <= 0) break;
        const std::size_t total = carry + std::size_t(got);
        const std::size_t count = total / 2;
        carry = total % 2;
        if (carry) odd = bytes[total - 1];
        std::lock_guard lock(m_mutex);
        for (std::size_t i = 0; i < count; ++i) m_samples.push_back(buffer[i] / 32768.0f);
        m_arrivals.push_back({at, m_samples.size()});
    }
    ::close(fd);
}

std::vector<float> SoundRecorder::samples() const {
    std::lock_guard lock(m_mutex);
    return m_samples;
}

std::size_t SoundRecorder::sampleCount() const {
    std::lock_guard lock(m_mutex);
    return m_samples.size();
}

SoundRecorder::Clock::time_point SoundRecorder::timeOfSample(std::size_t i) const {
    using namespace std::chrono;
    std::lock_guard lock(m_mutex);
    Clock::time_point best = Clock::time_point::max();
    for (const Arrival& a : m_arrivals) {
        if (a.endSample < i) continue;
        const auto bound = a.at - duration_cast<Clock::duration>(
                                      duration<double>(double(a.endSample - i) / kRate));
        if (bound < best) best = bound;
        if (a.endSample > i + 3 * kRate) break;
    }
    return best;
}

}  // namespace desktop
