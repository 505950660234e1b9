// kxmodem: a simulated HSDPA module with a QMI control port, two packet data
// ports and an AT command port, served as Unix sockets under a device folder.
//
// Embedding:
//     kxmodem::Modem modem;
//     std::string error;
//     if (!modem.Start("/tmp/dev", {}, &error)) ...
//     modem.Control("registration roaming");
//     modem.Stop();
//
// All model state lives on one event-loop thread owned by the Modem; the
// public calls below are safe from any thread (they hand their work to that
// thread and wait for it), except from inside the loop itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kxmodem {

struct Options {
    std::string scriptFile;    // control commands applied at start ("" = none)
    std::string ptyLink;       // "" = no pty; "auto" = pty without link; else a symlink path
    std::string atPtyLink;     // the AT port on a pty as well; values as for ptyLink
    std::string tracePath;     // "" = no trace; "-" = standard error; else appended file
    std::string pcapPath;      // "" = no capture; else a pcapng file, created or replaced
    bool showSecrets = false;  // passwords in the trace and capture as they are, not masked
    bool controlSocket = true; // serve <deviceDir>/kxmodem.ctl
    // What is behind the data ports: "echo" (the built-in echo network) or
    // "tun" (a TUN interface in a network namespace of its own; needs root).
    std::string network = "echo";
    std::string networkNamespace; // with "tun": "" = "kxop-<pid>"
};

struct SessionInfo {
    int channel = -1; // 0 = KXN1, 1 = KXN2
    uint32_t handle = 0;
    uint8_t clientId = 0;
    uint8_t status = 1; // packet service status of this session
    std::string apn;
    std::string address; // dotted IPv4
};

struct Counters {
    uint64_t qmiRequests = 0;     // well-formed requests received
    uint64_t qmiReplies = 0;      // replies sent (including duplicates)
    uint64_t qmiIndications = 0;  // indications sent
    uint64_t qmiMalformed = 0;    // frames answered with a malformed-message error or unparseable
    uint64_t qmiIgnored = 0;      // frames that were not requests
    uint64_t repliesDropped = 0;  // by a drop fault, or no receiver
    uint64_t indicationsLost = 0; // no connection to carry them
    uint64_t dataIn = 0;          // packets received on KXN1/KXN2
    uint64_t dataOut = 0;         // packets answered
    uint64_t dataDroppedNoSession = 0;  // channel's session not up
    uint64_t dataDroppedInvalid = 0;    // bad header, checksum or source address
    uint64_t dataDroppedUnanswered = 0; // valid but nothing answers it
    uint64_t atCommands = 0;
};

struct Snapshot {
    int registration = 1; // 3GPP +CREG stat: 0 none, 1 home, 2 searching, 3 denied, 5 roaming
    bool radioOn = true;
    std::vector<SessionInfo> sessions;
    std::vector<uint8_t> wdsClients, nasClients, dmsClients, otherClients;
    std::vector<std::string> portsPresent; // KXC1, KXN1, ... that currently exist
    Counters counters;
};

class Modem {
  public:
    Modem();
    ~Modem(); // stops
    Modem(const Modem &) = delete;
    Modem &operator=(const Modem &) = delete;

    // Creates deviceDir if needed, applies the start script, opens the ports
    // and starts the event loop. False (and *error) on failure.
    bool Start(const std::string &deviceDir, const Options &options = {},
               std::string *error = nullptr);
    // Closes every port, removes the sockets and ends the loop. Idempotent.
    void Stop();
    bool Running() const;

    // One control command, as in a script or on the control socket. Returns
    // "ok", "ok <text>" or "error: <why>".
    std::string Control(const std::string &line);
    Snapshot State();

    const std::string &DeviceDir() const;
    std::string PtyPath() const;   // the /dev/pts/N name, "" without pty
    std::string AtPtyPath() const; // the AT port's /dev/pts/N name, "" without one

    // Text of the control command reference (for --help and "help").
    static const char *ControlHelp();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The kxmodem command line (used by the kxmodem program and "kxsim modem").
// Runs in the foreground until SIGINT/SIGTERM; returns the exit status.
int RunCommandLine(const std::vector<std::string> &args, const char *program);

} // namespace kxmodem
