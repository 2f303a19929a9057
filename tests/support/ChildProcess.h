// Test cases that need a process of their own: one that is to die at a chosen point, or one
// that runs as another user (Unprivileged.h). The child is a fresh run of the test binary,
// started with exec, so it begins with one thread and none of the parent's state (a fork of a
// threaded process may only make system calls until it execs; Qt and FFmpeg are off limits).
// A body is therefore a plain function registered under a name: it takes text arguments and
// returns text, and only its effects on files are seen by the parent.
//
// Call runChild from the test's main thread. No child outlives its timeout, nor the test
// process itself (it is killed when the test process dies).
#pragma once

#include <chrono>
#include <string>
#include <vector>

using ChildBody = std::string (*)(const std::vector<std::string>& arguments);

// Registers a body under a name unique in the binary; use TAVOLEN_CHILD_BODY.
bool registerChildBody(const char* name, ChildBody body);

// Defines and registers a body at namespace scope; `arguments` names its arguments:
//   TAVOLEN_CHILD_BODY(saveIndex) { ...; return text; }
#define TAVOLEN_CHILD_BODY(name)                                                          \
    static std::string name(const std::vector<std::string>& arguments);                   \
    [[maybe_unused]] static const bool name##Registered = registerChildBody(#name, name); \
    static std::string name(const std::vector<std::string>& arguments)

struct ChildOptions {
    // As the user nobody when the tests run as root; otherwise the child keeps the current user.
    bool unprivileged = false;
    // A folder the child must be able to enter; when it cannot, the child does not run.
    std::string mustReach;
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

struct ChildOutcome {
    enum class End {
        Returned,   // said is the body's text (an exception that left the body: its message)
        Killed,     // by the signal `signal`
        TimedOut,   // and then killed
        CannotRun,  // here: no user nobody, or mustReach out of its reach; said says which
        Failed,     // said says how
    };
    End end = End::Failed;
    int signal = 0;
    std::string said;
};

ChildOutcome runChild(const char* body, const std::vector<std::string>& arguments,
                      const ChildOptions& options = {});

// For the test main: whether this process is a child, and running its body (the exit code;
// the body runs inside a QCoreApplication).
bool isChildProcess();
int runChildBody(int argc, char** argv);
