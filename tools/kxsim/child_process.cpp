#include "child_process.h"

#include "kxnet/signals.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kxsim {

// How long a child asked to end may take to clean up.
const int kStopGraceSeconds = 10;

std::string ChildResult::LineAfter(const std::string &prefix) const {
    for (const auto &l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return l.substr(prefix.size());
    return std::string();
}

ChildResult RunKxsim(const std::vector<std::string> &arguments,
                     const std::vector<std::pair<std::string, std::string>> &environment,
                     const std::string &indent, int timeoutSeconds, bool show,
                     const ChildWatch &watch) {
    ChildResult result;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        perror("kxsim: pipe");
        return result;
    }

    std::vector<std::string> args;
    args.push_back("kxsim");
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    // The child's environment: ours, with the given variables replaced.
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto &kv : environment)
            if (entry.compare(0, kv.first.size() + 1, kv.first + "=") == 0)
                replaced = true;
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto &kv : environment)
        env.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    // The child starts with no signal blocked and default actions, whatever
    // this process blocked to take its stop signals on one thread.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        fprintf(stderr, "kxsim: cannot start a child process: %s\n", strerror(rc));
        close(pipeFds[0]);
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string partial;
    bool killed = false, asked = false;
    for (;;) {
        if (watch.stop && watch.stop->stopped() && !asked) {
            // Asked to end as at a normal end; killed if it does not within
            // the grace below.
            kill(pid, SIGTERM);
            asked = true;
            auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(kStopGraceSeconds);
            deadline = grace < deadline ? grace : deadline;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 && !killed) {
            printf("%s(no end after %d s: stopped)\n", indent.c_str(),
                   asked ? kStopGraceSeconds : timeoutSeconds);
            kill(pid, SIGKILL);
            killed = true;
        }
        struct pollfd p = {pipeFds[0], POLLIN, 0};
        // Short steps while a stop signal may come, so it is passed on soon.
        int step = watch.stop && !asked ? 100 : 1000;
        int n = poll(&p, 1, left > 0 ? static_cast<int>(left > step ? step : left) : step);
        if (n < 0 && errno != EINTR)
            break;
        if (n <= 0)
            continue;
        char buffer[4096];
        ssize_t r = read(pipeFds[0], buffer, sizeof(buffer));
        if (r <= 0)
            break;
        partial.append(buffer, static_cast<size_t>(r));
        size_t newline;
        while ((newline = partial.find('\n')) != std::string::npos) {
            std::string line = partial.substr(0, newline);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            partial.erase(0, newline + 1);
            if (show) {
                printf("%s%s\n", indent.c_str(), line.c_str());
                fflush(stdout);
            }
            result.lines.push_back(line);
            if (watch.onLine)
                watch.onLine(line);
        }
    }
    if (!partial.empty()) {
        if (show)
            printf("%s%s\n", indent.c_str(), partial.c_str());
        result.lines.push_back(partial);
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exitStatus = 128 + WTERMSIG(status);
    return result;
}

} // namespace kxsim
