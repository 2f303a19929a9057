// Permission cases that must hold for real also when the tests run as root (as CI does): root
// would read every file and write into every folder, so such a case runs in a child process
// (ChildProcess.h) as the user nobody. Run as anyone else, the child keeps the current user.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Runs the registered body as nobody in a fresh child and returns its text (an exception that
// left the body: its message). Nullopt when the case cannot run here: there is no user nobody,
// or it cannot enter `folder`, where the case's files are (TMPDIR inside root's home); the
// caller skips. A child that crashes, fails or runs past a minute (it is then killed) gives
// text in angle brackets that says so.
std::optional<std::string> runUnprivileged(const char* body,
                                           const std::vector<std::string>& arguments,
                                           const std::string& folder);
