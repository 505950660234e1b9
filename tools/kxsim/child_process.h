// Runs another kxsim subcommand as a child process, as the handheld runs
// each host in its own process, and shows its output as it comes.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kxnet {
class StopSignals;
}

namespace kxsim {

struct ChildResult {
    int exitStatus = -1;            // exit code, or 128 + signal
    std::vector<std::string> lines; // everything it printed, line by line
    // The text after the first line that starts with prefix ("" if none).
    std::string LineAfter(const std::string &prefix) const;
};

// What the caller does while the child runs.
struct ChildWatch {
    // Called with each line the child prints, as it comes, on the calling
    // thread: the caller can act on what the child says.
    std::function<void(const std::string &line)> onLine;
    // When these fire, the child is asked to end (SIGTERM) and waited for
    // as at a normal end, so that it cleans up after itself.
    const kxnet::StopSignals *stop = nullptr;
};

// Runs "kxsim <arguments...>" with extra environment variables set, copies
// each line it prints to standard output with `indent` before it, and waits
// at most timeoutSeconds (the child is killed after that). With show false
// the lines are only kept, not printed.
ChildResult RunKxsim(const std::vector<std::string> &arguments,
                     const std::vector<std::pair<std::string, std::string>> &environment,
                     const std::string &indent, int timeoutSeconds, bool show = true,
                     const ChildWatch &watch = ChildWatch());

} // namespace kxsim
