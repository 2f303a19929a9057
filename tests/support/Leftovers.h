// Folders that a test makes must not outlive it, also when it crashes: destructors and atexit
// handlers never run after an abort, libFuzzer's exit after a crash (_Exit) or a kill.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

// Starts a watcher process that removes `path` once this process has ended, however it ended:
// the watcher waits on a socket whose other end only this process holds, and the kernel
// closes that with the process. Destroying this object dismisses the watcher instead, for an owner
// that removes the folder itself; one that never destroys it leaves the removal to the watcher.
class RemovedWithProcess {
public:
    explicit RemovedWithProcess(const std::string& path) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
        m_watcher = ::fork();
        if (m_watcher < 0) std::abort();
        if (m_watcher == 0) watch(ends[0], path);
        ::close(ends[0]);
        m_end = ends[1];
    }
    ~RemovedWithProcess() {
        const char dismissed = 'd';  // a watcher that is gone must not end this process
        if (::send(m_end, &dismissed, 1, MSG_NOSIGNAL) == 1) ::waitpid(m_watcher, nullptr, 0);
        ::close(m_end);
    }
    RemovedWithProcess(const RemovedWithProcess&) = delete;
    RemovedWithProcess& operator=(const RemovedWithProcess&) = delete;

private:
    // Only async-signal-safe calls: the process that forked may have threads.
    [[noreturn]] static void watch(int end, const std::string& path) {
        // Ctrl-C and a closed terminal reach the whole process group; it must outlast them.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::signal(SIGQUIT, SIG_IGN);
        ::dup2(end, STDIN_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);  // holds no one's output pipe open
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        for (char byte;;) {
            const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
            if (got == 1) ::_exit(0);  // dismissed
            if (got == 0 || errno != EINTR) break;
        }
        ::execl("/bin/rm", "rm", "-rf", "--", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }

    pid_t m_watcher = -1;
    int m_end = -1;
};
