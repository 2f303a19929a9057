// What the fuzz targets share: a check that stops the run with a crash (so libFuzzer keeps the
// input) and a private scratch folder for the files a target writes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Starts a watcher that removes `path` once this process has ended, however it ended: libFuzzer
// leaves by _Exit after a crash, and a kill runs nothing of this process at all. The watcher
// waits on a pipe that only this process holds open; the kernel closes it with the process.
inline void removeWhenThisProcessEnds(const std::string& path) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) std::abort();
    const pid_t watcher = ::fork();
    if (watcher < 0) std::abort();
    if (watcher == 0) {  // only async-signal-safe calls: this process may have threads
        // Ctrl-C and a closed terminal reach the whole process group; it must outlast them.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::signal(SIGQUIT, SIG_IGN);
        ::dup2(ends[0], STDIN_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);  // holds no one's output pipe open
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        for (char byte;;) {
            const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
            if (got == 0 || (got < 0 && errno != EINTR)) break;
        }
        ::execl("/bin/rm", "rm", "-rf", "--", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ends[0]);  // the write end stays open, unused, as long as this process lives
}

// A folder of our own, in memory when the machine has /dev/shm (a save syncs its file, which
// costs nothing there), removed with its files when the run ends.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        pattern += "/tavolen-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        removeWhenThisProcessEnds(pattern);
        return pattern;
    }();
    return folder;
}
