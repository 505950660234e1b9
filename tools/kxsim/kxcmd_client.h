// The connection software's view of KxCmdApi: the library loaded by path
// with dlopen, as a host loads a DLL, and one echo through a data channel.
#pragma once

#include <cstdint>
#include <string>

#include "KxCmdApi.h"

namespace kxsim {

struct KxCmdClient {
    void *library = nullptr;
    decltype(&KxCmdOpen) open = nullptr;
    decltype(&KxCmdClose) close = nullptr;
    decltype(&KxCmdReopen) reopen = nullptr;
    decltype(&KxCmdLogon) logon = nullptr;
    decltype(&KxCmdLogoff) logoff = nullptr;
    decltype(&KxCmdConnectionState) connectionState = nullptr;
    decltype(&KxCmdChannelRate) channelRate = nullptr;
    decltype(&KxCmdGetSignalStrength) signalStrength = nullptr;
    decltype(&KxCmdSend) send = nullptr;
    decltype(&KxCmdReceive) receive = nullptr;
    decltype(&KxCmdAbort) abort = nullptr;

    // Loads KxCmdApi.so from kxsim's folder; false with *error otherwise.
    bool Load(std::string *error);
    ~KxCmdClient();
};

// Sends one ICMP echo request from `self` through `channel` and waits for
// its reply; prints a line when verbose. True when the reply came back.
bool EchoThroughChannel(KxCmdClient &driver, int channel, uint32_t self, uint16_t sequence,
                        bool verbose);

} // namespace kxsim
