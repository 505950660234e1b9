// The handheld's side of real IP traffic: a network namespace of its own
// (the handheld's IP stack) with a TUN interface that holds the session's
// address and the default route, and two pump threads between the interface
// and a data channel (the driver's KxCmdReceive into the interface, the
// interface into KxCmdSend). Used by "kxsim connect --tun" and
// "kxsim tunnel".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kxnet/signals.h"
#include "packet_channel.h"

namespace kxsim {

struct TunBridgeOptions {
    std::string address;       // the session's address, "10.64.0.2"
    std::string namespaceName; // "" = "kxhh-<pid>"
    std::string interfaceName = "kxtun0";
    int mtu = 1500;
    std::string exec; // command run inside the namespace (sh -c); "" = none
    bool quiet = false;
};

struct TunBridgeStats {
    std::atomic<uint64_t> packetsUp{0}, bytesUp{0};     // interface -> channel
    std::atomic<uint64_t> packetsDown{0}, bytesDown{0}; // channel -> interface
    std::atomic<uint64_t> sendFailures{0}, receiveFailures{0};
};

// Runs the bridge until `stop` is requested (a signal), the --exec command
// ends, or the channel fails for good. Creates and removes the namespace,
// the interface and the threads on every path. Returns the exit status:
// the command's status with exec, else 0; 1 when the bridge could not be
// set up or the channel failed (*error says why).
int RunTunBridge(PacketChannel &channel, const TunBridgeOptions &options, kxnet::StopSignals &stop,
                 TunBridgeStats *stats, std::string *error);

// The bridge on `channel` of a KxCmdApi that the caller has loaded and
// logged on already (its KxCmdSend and KxCmdReceive): "kxsim connect --tun".
int BridgeDriverChannel(DriverChannel::SendFn send, DriverChannel::ReceiveFn receive,
                        uint32_t channel, const TunBridgeOptions &options, kxnet::StopSignals &stop,
                        std::string *error);

// The address the module gives a session on a channel (10.64.<channel>.2).
std::string DefaultSessionAddress(int channel);

} // namespace kxsim
