// Inside the Modem: one event-loop thread owns every socket, the engine, the
// AT sessions, the faults and the counters. Other threads reach them only by
// posting work to the loop (Call/Post), so the model needs no lock.
//
// Locks: queueMutex_ guards the posted-work queue and stopping_ only; it is
// never held while work runs. Trace and Capture have their own mutexes
// (leaves). scriptMutex_ guards the script thread's stop flag (leaf).
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "at.h"
#include "capture.h"
#include "engine.h"
#include "faults.h"
#include "kxmodem/modem.h"
#include "qmux.h"
#include "trace.h"
#include "tun_network.h"

namespace kxmodem {

using Clock = std::chrono::steady_clock;

enum PortIndex { kPortControl = 0, kPortData1, kPortData2, kPortAt, kPortCtlSocket, kPortCount };
constexpr int kPtyPort = -1; // the QMI control port's pseudo-terminal

// A port served on a pseudo-terminal: one byte stream, one session, for as
// long as the module runs. The module keeps the slave side open itself, so
// that the master never sees a hang-up between two programs' sessions.
struct Terminal {
    int master = -1;
    int slave = -1;
    int endpoint = 0;
    std::string name; // /dev/pts/N
    std::string link; // the symbolic link made to it, "" for none
};

struct Port {
    const char *name;
    bool present = false;
    int listenFd = -1;
};

struct Connection {
    int endpoint = 0;
    int fd = -1;
    int port = 0;                  // PortIndex, or kPtyPort
    bool terminal = false;         // fd is a pseudo-terminal's master, not a socket
    uint64_t sequence = 0;         // order of connection, for data channel choice
    Clock::time_point notBefore{}; // replies keep order behind a delayed one
    AtSession at;
    std::string lineBuffer;  // control socket input
    StreamDeframer deframer; // QMI pty input
    std::string outBuffer;   // terminal output not yet written
    std::string where;       // trace name, "KXC1#3"
};

struct Modem::Impl : public EngineSink, public AtHost {
    Impl() : engine(*this) {}
    ~Impl() override = default;

    // Lifecycle (modem.cpp).
    bool Start(const std::string &dir, const Options &options, std::string *error);
    void Stop();
    void Loop();
    enum class LoopStep { kStop, kAgain, kWait };
    LoopStep RunPending();
    int PollTimeout() const;
    void BuildPollSet(std::vector<pollfd> *fds, std::vector<int> *owners) const;
    void Dispatch(const pollfd &fd, int owner); // one ready descriptor of BuildPollSet's set
    void Call(const std::function<void()> &fn); // run on the loop and wait
    void Post(std::function<void()> fn);
    void Wake();
    void AfterAt(Clock::time_point when, std::function<void()> fn);
    bool OnLoop() const { return std::this_thread::get_id() == loopThread.get_id(); }

    // Ports and connections (ports.cpp).
    std::string SocketPath(int port) const;
    bool OpenPort(int port, std::string *error);
    void ClosePort(int port);
    void Accept(int port);
    void Readable(int endpoint);
    void CloseConnection(int endpoint);
    void HandleQmiBytes(Connection &c, const uint8_t *data, size_t size);
    void HandleQmiFrame(int endpoint, const uint8_t *data, size_t size);
    void HandleData(Connection &c, const uint8_t *data, size_t size);
    void HandleAt(Connection &c, const std::string &text);
    bool SendBytes(int endpoint, const uint8_t *data, size_t size);
    void SendQmiNow(int endpoint, const Bytes &frame, const std::string &note);
    Connection *Find(int endpoint);
    // Into the capture: a control frame, or a packet of a data port.
    void CaptureQmi(const Connection &c, bool received, const uint8_t *data, size_t size);
    void CaptureData(const Connection &c, bool received, const uint8_t *data, size_t size);
    std::string Vanish(const std::string &portName, long ms);
    std::string Restore(const std::string &portName);
    std::string Reset(long ms);

    // The network behind the data ports when it is not the echo network
    // (tun_network.cpp).
    bool StartNetwork(std::string *error);
    void StopNetwork();
    void ForwardToNetwork(Connection &c, const Session &s, const uint8_t *data, size_t size);
    void DeliverFromNetwork(const uint8_t *packet, size_t size);

    // Pseudo-terminals (pty.cpp): the QMI control port (port kPtyPort) and
    // the AT port (port kPortAt).
    bool OpenPty(const std::string &link, int port, Terminal &terminal, std::string *error);
    void ClosePty(Terminal &terminal);
    void FlushPty(Connection &c);

    // Controls (controls.cpp).
    std::string Execute(const std::string &line);
    std::string StatusText();
    bool RunScript(const std::string &path, std::string *error);
    void ScriptThread(std::vector<std::pair<int, std::string>> lines);

    // EngineSink.
    void SendReply(int endpoint, const QmiMessage &reply, const FaultAction &fault) override;
    void SendIndication(int endpoint, const QmiMessage &indication) override;
    void After(uint32_t ms, std::function<void()> fn) override;
    int ChooseDataChannel(const bool taken[2]) override;
    void RegistrationChanged() override;
    // AtHost.
    const ModemConfig &Config() const override { return engine.config(); }
    void SetRadio(bool on) override { engine.SetRadio(on); }

    std::string deviceDir;
    Options options;
    Engine engine;
    FaultTable faults;
    Trace trace;
    Capture capture;
    Counters counters;
    Port ports[kPortCount] = {{"KXC1"}, {"KXN1"}, {"KXN2"}, {"KXA1"}, {"kxmodem.ctl"}};
    std::map<int, Connection> connections; // by endpoint
    int nextEndpoint = 1;
    uint64_t nextSequence = 1;
    std::multimap<Clock::time_point, std::function<void()>> timers;

    Terminal qmiPty; // --pty
    Terminal atPty;  // --at-pty

    std::unique_ptr<TunNetwork> network; // null: the echo network

    std::thread loopThread;
    std::atomic<bool> running{false};
    int wakePipe[2] = {-1, -1};
    std::mutex queueMutex_;
    std::vector<std::function<void()>> queue_;
    bool stopping_ = false;

    std::thread scriptThread;
    std::mutex scriptMutex_;
    std::condition_variable scriptCv_;
    bool scriptStop_ = false;
};

std::vector<std::string> SplitWords(const std::string &line);

} // namespace kxmodem
