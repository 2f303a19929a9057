#include "Unprivileged.h"

#include "ChildProcess.h"

std::optional<std::string> runUnprivileged(const char* body,
                                           const std::vector<std::string>& arguments,
                                           const std::string& folder) {
    ChildOptions options;
    options.unprivileged = true;
    options.mustReach = folder;
    const ChildOutcome outcome = runChild(body, arguments, options);
    switch (outcome.end) {
        case ChildOutcome::End::Returned:
            return outcome.said;
        case ChildOutcome::End::CannotRun:
            return std::nullopt;
        case ChildOutcome::End::Killed:
            return "<child killed by signal " + std::to_string(outcome.signal) + ">";
        case ChildOutcome::End::TimedOut:
        case ChildOutcome::End::Failed:
            break;
    }
    return outcome.said.empty() ? "<child failed>" : outcome.said;
}
