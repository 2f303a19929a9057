#include "ChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <optional>

extern char** environ;

namespace {

constexpr const char* kBodyVariable = "TAVOLEN_CHILD_BODY";
// The child's text goes back through this descriptor, not through its output, which Qt,
// FFmpeg and the libraries below may write to.
constexpr int kResultFd = 3;

// Exit codes of a child that never reached its body; no body's run ends with them.
enum : int { kNoNobody = 120, kUnreachable = 121, kNoExec = 122, kOrphan = 123 };

std::map<std::string, ChildBody>& bodies() {
    static std::map<std::string, ChildBody> registered;
    return registered;
}

// What the child needs, made before the fork: after it only system calls are safe.
struct Launch {
    std::vector<std::string> strings;
    std::vector<char*> argv;
    std::vector<char*> envp;

    Launch(const char* body, const std::vector<std::string>& arguments) {
        strings.emplace_back("/proc/self/exe");
        strings.insert(strings.end(), arguments.begin(), arguments.end());
        const size_t argc = strings.size();
        const std::string prefix = std::string(kBodyVariable) + "=";
        for (char** v = environ; *v; ++v)
            if (std::strncmp(*v, prefix.c_str(), prefix.size()) != 0) strings.emplace_back(*v);
        strings.push_back(prefix + body);
        for (size_t i = 0; i < strings.size(); ++i)
            (i < argc ? argv : envp).push_back(strings[i].data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
};

struct User {
    uid_t uid;
    gid_t gid;
};

[[noreturn]] void startChild(const Launch& launch, int resultFd, const std::optional<User>& as,
                             const std::string& mustReach, pid_t parent) {
    if (resultFd == kResultFd)
        ::fcntl(kResultFd, F_SETFD, 0);
    else if (::dup2(resultFd, kResultFd) != kResultFd)
        ::_exit(kNoExec);
    if (as && (::setgroups(0, nullptr) != 0 || ::setgid(as->gid) != 0 || ::setuid(as->uid) != 0))
        ::_exit(kNoNobody);
    // Set after the change of user, which clears it; then the parent may already be gone.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(kOrphan);
    if (!mustReach.empty() && ::access(mustReach.c_str(), X_OK) != 0) ::_exit(kUnreachable);
    ::execve(launch.argv[0], launch.argv.data(), launch.envp.data());
    ::_exit(kNoExec);
}

using Clock = std::chrono::steady_clock;

// Reads until the child closes its end or the deadline passes; false when it passed.
bool readUntilClosed(int fd, Clock::time_point deadline, std::string& said) {
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, int(left.count())) <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        said.append(buffer, size_t(n));
    }
}

// Waits for the child's end until the deadline; false when it passed.
bool waitUntil(pid_t child, Clock::time_point deadline, int& status) {
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) return true;
        if (done < 0 && errno != EINTR) return true;
        if (Clock::now() >= deadline) return false;
        ::poll(nullptr, 0, 20);
    }
}

}  // namespace

bool registerChildBody(const char* name, ChildBody body) {
    if (!bodies().emplace(name, body).second) {
        std::fprintf(stderr, "two child bodies are named %s\n", name);
        std::abort();
    }
    return true;
}

ChildOutcome runChild(const char* body, const std::vector<std::string>& arguments,
                      const ChildOptions& options) {
    const Launch launch(body, arguments);
    std::optional<User> as;
    if (options.unprivileged && ::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) return {ChildOutcome::End::CannotRun, 0, "there is no user nobody"};
        as = User{nobody->pw_uid, nobody->pw_gid};
    }
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) return {ChildOutcome::End::Failed, 0, "<no pipe>"};
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) startChild(launch, channel[1], as, options.mustReach, parent);
    ::close(channel[1]);
    if (child < 0) {
        ::close(channel[0]);
        return {ChildOutcome::End::Failed, 0, "<no fork>"};
    }
    ChildOutcome outcome;
    const Clock::time_point deadline = Clock::now() + options.timeout;
    int status = 0;
    const bool ended =
        readUntilClosed(channel[0], deadline, outcome.said) && waitUntil(child, deadline, status);
    ::close(channel[0]);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return {ChildOutcome::End::TimedOut, SIGKILL, "<timed out>"};
    }
    if (WIFSIGNALED(status)) return {ChildOutcome::End::Killed, WTERMSIG(status), outcome.said};
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 0) outcome.end = ChildOutcome::End::Returned;
    if (code == kNoNobody) return {ChildOutcome::End::CannotRun, 0, "could not become nobody"};
    if (code == kUnreachable)
        return {ChildOutcome::End::CannotRun, 0,
                options.mustReach + " is out of the child's reach"};
    // The binary itself may be out of nobody's reach (a build tree in root's home).
    if (code == kNoExec && as)
        return {ChildOutcome::End::CannotRun, 0, "nobody cannot run the test binary"};
    if (code != 0)
        outcome.said = "<child exited with " + std::to_string(code) + "> " + outcome.said;
    return outcome;
}

bool isChildProcess() { return std::getenv(kBodyVariable) != nullptr; }

int runChildBody(int argc, char** argv) {
    const std::string name = std::getenv(kBodyVariable);
    ::unsetenv(kBodyVariable);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    // No windows: a core application is all a body may need.
    QCoreApplication application(argc, argv);
    const auto found = bodies().find(name);
    std::string said = "<no child body named " + name + ">";
    if (found != bodies().end()) {
        try {
            said = found->second(arguments);
        } catch (const std::exception& e) {
            said = e.what();
        }
    }
    for (size_t done = 0; done < said.size();) {
        const ssize_t n = ::write(kResultFd, said.data() + done, said.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        done += size_t(n);
    }
    return found != bodies().end() ? 0 : 1;
}
