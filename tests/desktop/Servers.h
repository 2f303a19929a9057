// Processes that desktop tests start and must stop again: display servers, a window manager,
// a sound server, the player itself. Each child is told by the kernel to die with the test
// process (so a crashed test leaves nothing behind), and a Child that goes out of scope stops
// its process: terminate, wait, then kill.
//
// Helpers for the tests: waiting for a condition by polling (never a fixed sleep), running a
// short command to its end, finding a program on PATH. Test thread only.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class RemovedWithProcess;

namespace desktop {

// Generous: the machine is slow and shared with other builds.
inline constexpr int kTimeoutMs = 60000;

// Without a log file the child's standard output is kept for the test to read (servers that
// announce their address there); its errors are dropped.
class Child {
public:
    Child(const QString& program, const QStringList& arguments, const QProcessEnvironment& env,
          const QString& logPath = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running() const { return m_process.state() != QProcess::NotRunning; }
    bool waitStarted() { return m_process.waitForStarted(kTimeoutMs); }
    // Waits for the process to end by itself; its exit code, or -1 when it crashed or is still
    // running after timeoutMs.
    int waitExit(int timeoutMs = kTimeoutMs);
    void stop();
    QProcess& process() { return m_process; }
    QString log() const;  // what the process wrote to its log file, for failure messages

private:
    QProcess m_process;
    QString m_logPath;
};

// Polls `done` until it is true or timeoutMs passes, running the event loop in between.
bool waitFor(const std::function<bool()>& done, int timeoutMs = kTimeoutMs, int pollMs = 100);

struct CommandResult {
    int exitCode = -1;  // -1 also when it did not end in time
    QByteArray out;
    QByteArray err;
};
CommandResult runCommand(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& env, int timeoutMs = kTimeoutMs);

bool haveProgram(const QString& name);

// The folder a desktop test keeps its screenshots and logs in (under the build's test output),
// created fresh for each test.
QString outputDir(const QString& test);

// A private runtime folder (XDG_RUNTIME_DIR), mode 0700 as sound and display servers require;
// removed also when the test process crashes.
class RuntimeDir {
public:
    RuntimeDir();
    ~RuntimeDir();
    QString path() const { return m_path; }
    bool valid() const { return !m_path.isEmpty(); }

private:
    QString m_path;
    std::unique_ptr<RemovedWithProcess> m_removal;
};

}  // namespace desktop
