// Permission cases that must hold for real also when the tests run as root (as CI does): root
// would read every file and write into every folder, so such a case runs in a child process as
// the user nobody. Run as anyone else, the child keeps the current user.
#pragma once

#include <functional>
#include <string>

// Runs body in a forked child as an unprivileged user and returns its text; an exception that
// leaves body comes back as its message. Only the text crosses back: body's other effects stay
// in the child, apart from what it does to files.
std::string runUnprivileged(const std::function<std::string()>& body);
