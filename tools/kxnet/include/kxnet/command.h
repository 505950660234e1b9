// Running host programs (ip, and commands inside a namespace) without a
// shell, with the caller's signal mask reset to the default in the child.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kxnet {

// Runs argv[0] (searched in PATH) and waits for it. True when it exited with
// status 0; otherwise *error (if given) says what failed, with the
// program's output (standard output and error are captured, not shown).
bool Run(const std::vector<std::string> &argv, std::string *error = nullptr);

// Starts argv[0] and returns its process id, -1 on failure (*error set).
// The child gets an empty signal mask and default signal dispositions; with
// ownGroup it leads a process group of its own, so that TerminateGroup
// reaches everything it starts.
pid_t Spawn(const std::vector<std::string> &argv, std::string *error = nullptr,
            bool ownGroup = false);

// Sends SIGTERM to the process group that `leader` (started with ownGroup) leads.
void TerminateGroup(pid_t leader);

// Waits for a child started by Spawn; returns its exit status, 128 + signal
// number when a signal ended it, -1 when it cannot be waited for.
int WaitChild(pid_t pid);

// "ip -n NS <words>" (the namespace's iproute2), as Run.
bool RunIp(const std::string &ns, const std::vector<std::string> &words,
           std::string *error = nullptr);

} // namespace kxnet
