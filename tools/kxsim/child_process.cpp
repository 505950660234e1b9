#include "child_process.h"

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

std::string ChildResult::LineAfter(const std::string &prefix) const {
    for (const auto &l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return l.substr(prefix.size());
    return std::string();
}

ChildResult RunKxsim(const std::vector<std::string> &arguments,
                     const std::vector<std::pair<std::string, std::string>> &environment,
                     const std::string &indent, int timeoutSeconds, bool show) {
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
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        fprintf(stderr, "kxsim: cannot start a child process: %s\n", strerror(rc));
        close(pipeFds[0]);
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string partial;
    bool killed = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 && !killed) {
            printf("%s(no end after %d s: stopped)\n", indent.c_str(), timeoutSeconds);
            kill(pid, SIGKILL);
            killed = true;
        }
        struct pollfd p = {pipeFds[0], POLLIN, 0};
        int n = poll(&p, 1, left > 0 ? static_cast<int>(left > 1000 ? 1000 : left) : 1000);
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
