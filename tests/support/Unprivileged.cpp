#include "Unprivileged.h"

#include <exception>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool dropRights() {
    if (::geteuid() != 0) return true;
    const passwd* nobody = ::getpwnam("nobody");
    return nobody && ::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 &&
           ::setuid(nobody->pw_uid) == 0;
}

}  // namespace

std::string runUnprivileged(const std::function<std::string()>& body) {
    int channel[2];
    if (::pipe(channel) != 0) return "<no pipe>";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::string said = "<could not become nobody>";
        if (dropRights()) {
            try {
                said = body();
            } catch (const std::exception& e) {
                said = e.what();
            }
        }
        for (size_t done = 0; done < said.size();) {
            const ssize_t n = ::write(channel[1], said.data() + done, said.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, size_t(n));
    ::close(channel[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return "<child failed>";
    return said;
}
