#include "kxnet/command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace kxnet {

namespace {

// Starts argv with stdout and stderr to errFd (-1: inherited) and a clean signal state.
pid_t SpawnWith(const std::vector<std::string> &argv, int errFd, bool ownGroup,
                std::string *error) {
    if (argv.empty()) {
        if (error)
            *error = "no command";
        return -1;
    }
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, flags);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (errFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    }

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        if (error)
            *error = "cannot run " + argv[0] + ": " + strerror(rc);
        return -1;
    }
    return pid;
}

std::string Joined(const std::vector<std::string> &argv) {
    std::string s;
    for (const auto &a : argv)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

} // namespace

pid_t Spawn(const std::vector<std::string> &argv, std::string *error, bool ownGroup) {
    return SpawnWith(argv, -1, ownGroup, error);
}

void TerminateGroup(pid_t leader) {
    if (leader > 0)
        kill(-leader, SIGTERM);
}

int WaitChild(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, 0);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

bool Run(const std::vector<std::string> &argv, std::string *error) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        if (error)
            *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    pid_t pid = SpawnWith(argv, pipeFds[1], false, error);
    close(pipeFds[1]);
    std::string text;
    if (pid > 0) {
        char buffer[512];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0 && text.size() < 4096)
                text.append(buffer, static_cast<size_t>(n));
        }
    }
    close(pipeFds[0]);
    if (pid < 0)
        return false;
    int status = WaitChild(pid);
    if (status == 0)
        return true;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (error)
        *error = "'" + Joined(argv) + "' failed (status " + std::to_string(status) + ")" +
                 (text.empty() ? "" : ": " + text);
    return false;
}

bool RunIp(const std::string &ns, const std::vector<std::string> &words, std::string *error) {
    std::vector<std::string> argv{"ip", "-n", ns};
    argv.insert(argv.end(), words.begin(), words.end());
    return Run(argv, error);
}

} // namespace kxnet
