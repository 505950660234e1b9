// The connection software's view of KxCmdApi: the library loaded by path
// with dlopen, as a host loads a DLL, and one echo through a data channel.
#pragma once

#include <cstdint>
#include <string>

#include <kxhost/kxcmd_library.h>

namespace kxsim {

// KxCmdApi.so from kxsim's folder, unloaded when the client goes.
struct KxCmdClient : kxcmd::Api {
    // False with *error when the library or one of its exports is missing.
    bool Load(std::string *error);
    ~KxCmdClient() { Unload(); }
};

// Sends one ICMP echo request from `self` through `channel` and waits for
// its reply; prints a line when verbose. True when the reply came back.
bool EchoThroughChannel(KxCmdClient &driver, int channel, uint32_t self, uint16_t sequence,
                        bool verbose);

} // namespace kxsim
