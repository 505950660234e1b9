// Processes, CPU clocks and CPU affinity for the control-path benchmark.
#include "processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace kxbench {

std::string BinDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return ".";
    path[n] = 0;
    std::string s(path);
    return s.substr(0, s.find_last_of('/'));
}

namespace {

bool WaitForPath(const std::string &path) {
    struct stat st;
    for (int i = 0; i < 500; ++i) {
        if (stat(path.c_str(), &st) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

bool ModuleProcess::Start(bool withPty, std::string *error) {
    char pattern[] = "/tmp/kx-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        *error = "mkdtemp failed";
        return false;
    }
    dir_ = pattern;
    std::string program = BinDirectory() + "/kxmodem";
    std::string devices = dir_, link = pty();
    char *argv[] = {
        const_cast<char *>(program.c_str()), const_cast<char *>("--device-dir"),
        const_cast<char *>(devices.c_str()), const_cast<char *>(withPty ? "--pty" : nullptr),
        const_cast<char *>(link.c_str()),    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Its narration would mix with the report.
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        *error = "cannot start " + program;
        return false;
    }
    if (!WaitForPath(dir_ + "/kxmodem.ctl") || (withPty && !WaitForPath(link))) {
        *error = "the module did not come up";
        return false;
    }
    return true;
}

void ModuleProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir_.c_str());
        dir_.clear();
    }
}

bool LibqmiClient::Start(const std::string &device, std::string *error) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    std::string program = BinDirectory() + "/kx_libqmi_client";
    char *argv[] = {const_cast<char *>(program.c_str()), const_cast<char *>(device.c_str()),
                    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    if (rc != 0) {
        close(toChild[1]);
        close(fromChild[0]);
        pid_ = -1;
        *error = "cannot start " + program;
        return false;
    }
    in_ = fdopen(toChild[1], "w");
    out_ = fdopen(fromChild[0], "r");
    char line[128];
    if (!fgets(line, sizeof line, out_) || strncmp(line, "ready", 5) != 0) {
        *error = "the libqmi client did not reach the module";
        return false;
    }
    return true;
}

bool LibqmiClient::Run(const char *command) {
    if (!in_ || fprintf(in_, "%s\n", command) < 0 || fflush(in_) != 0)
        return false;
    char line[128];
    return fgets(line, sizeof line, out_) && strncmp(line, "done", 4) == 0;
}

void LibqmiClient::Stop() {
    if (in_) {
        fprintf(in_, "quit\n");
        fclose(in_);
        in_ = nullptr;
    }
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    if (out_) {
        fclose(out_);
        out_ = nullptr;
    }
}

int64_t ProcessCpuNs(pid_t pid) {
    clockid_t clock = CLOCK_PROCESS_CPUTIME_ID;
    if (pid != 0 && clock_getcpuclockid(pid, &clock) != 0)
        return -1;
    timespec ts;
    if (clock_gettime(clock, &ts) != 0)
        return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool SetPinned(pid_t pid, bool pinned) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pinned) {
        CPU_SET(0, &set);
    } else {
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        for (long i = 0; i < cpus && i < CPU_SETSIZE; ++i)
            CPU_SET(static_cast<int>(i), &set);
    }
    std::string tasks = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (!dir)
        return false;
    bool ok = true;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        pid_t tid = static_cast<pid_t>(atoi(e->d_name));
        // A thread that ended meanwhile is no failure.
        if (sched_setaffinity(tid, sizeof set, &set) != 0 && errno != ESRCH)
            ok = false;
    }
    closedir(dir);
    return ok;
}

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace kxbench
