#include "Servers.h"

#include "Leftovers.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QTimer>
#include <csignal>
#include <cstdlib>

namespace desktop {

Child::Child(const QString& program, const QStringList& arguments, const QProcessEnvironment& env,
             const QString& logPath)
    : m_logPath(logPath) {
    m_process.setProcessEnvironment(env);
    // The kernel ends the child when the test process dies, however it dies.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    if (logPath.isEmpty()) {
        m_process.setStandardErrorFile(QProcess::nullDevice());  // output stays readable
    } else {
        m_process.setStandardOutputFile(logPath);
        m_process.setStandardErrorFile(logPath, QIODevice::Append);
    }
    m_process.start(program, arguments);
}

Child::~Child() { stop(); }

int Child::waitExit(int timeoutMs) {
    if (running() && !m_process.waitForFinished(timeoutMs)) return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void Child::stop() {
    if (!running()) return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

QString Child::log() const {
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromLocal8Bit(file.readAll().right(4000));
}

bool waitFor(const std::function<bool()>& done, int timeoutMs, int pollMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        // Waits inside the event loop, so what this thread shows (a surface's paint) is not held
        // up by the wait itself.
        QEventLoop loop;
        QTimer::singleShot(pollMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

CommandResult runCommand(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& env, int timeoutMs) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start(program, arguments);
    CommandResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.err = "did not end in time";
        return result;
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit) result.exitCode = process.exitCode();
    return result;
}

bool haveProgram(const QString& name) { return !QStandardPaths::findExecutable(name).isEmpty(); }

QString outputDir(const QString& test) {
    const QString path =
        QString::fromLocal8Bit(qgetenv("TAVOLEN_TEST_OUTPUT")) + QStringLiteral("/desktop/") + test;
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    return path;
}

RuntimeDir::RuntimeDir() {
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/tavolen-runtime-XXXXXX";
    if (!::mkdtemp(pattern.data())) return;
    m_path = QString::fromLocal8Bit(pattern);  // mode 0700
    m_removal = std::make_unique<RemovedWithProcess>(pattern.toStdString());
}

RuntimeDir::~RuntimeDir() {
    if (valid()) QDir(m_path).removeRecursively();
}

}  // namespace desktop
