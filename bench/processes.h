// The processes a measurement involves: the simulated module and the libqmi
// client, started beside this benchmark; their CPU time and where they may
// run (every thread of a process pinned to CPU 0, or free).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace kxbench {

// The folder of this program (where kxmodem and the helpers are built).
std::string BinDirectory();

// kxmodem as its own process, serving its sockets in a fresh folder and,
// when asked, the QMI control port on a pseudo-terminal linked at pty().
class ModuleProcess {
  public:
    ~ModuleProcess() { Stop(); }
    bool Start(bool withPty, std::string *error);
    void Stop();
    pid_t pid() const { return pid_; }
    const std::string &dir() const { return dir_; }
    std::string pty() const { return dir_ + "/qmi"; }

  private:
    pid_t pid_ = -1;
    std::string dir_;
};

// kx_libqmi_client on the module's pseudo-terminal, driven one command a line.
class LibqmiClient {
  public:
    ~LibqmiClient() { Stop(); }
    bool Start(const std::string &device, std::string *error);
    // Sends a command ("sync N", "async N K") and waits for its "done".
    bool Run(const char *command);
    void Stop();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    FILE *in_ = nullptr;  // its standard input
    FILE *out_ = nullptr; // its standard output
};

// CPU time, user and system, of every thread of a process, in nanoseconds
// (pid 0: this process). -1 when it cannot be read.
int64_t ProcessCpuNs(pid_t pid);

// Every current thread of the process (pid 0: this one) may run on CPU 0
// only (pinned) or on every CPU of the machine; threads it starts later
// inherit the choice.
bool SetPinned(pid_t pid, bool pinned);

// Wall clock, nanoseconds.
int64_t NowNs();

} // namespace kxbench
