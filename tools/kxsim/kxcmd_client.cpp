#include "kxcmd_client.h"

#include "icmp_echo.h"
#include "kxsim.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace kxsim {

bool KxCmdClient::Load(std::string *error) {
    return Api::Load(BuildDirectory() + "/KxCmdApi.so", error);
}

bool EchoThroughChannel(KxCmdClient &d, int channel, uint32_t self, uint16_t sequence,
                        bool verbose) {
    const uint32_t peer = ParseIPv4("10.64.255.1");
    std::vector<uint8_t> request = BuildEchoRequest(self, peer, 0x4B58, sequence, 56);
    DWORD length = static_cast<DWORD>(request.size());
    auto start = std::chrono::steady_clock::now();
    if (!d.Send(channel, request.data(), &length, 2000)) {
        if (verbose)
            printf("    echo %u: send failed\n", sequence);
        return false;
    }
    uint8_t reply[2048];
    for (int attempt = 0; attempt < 5; ++attempt) {
        DWORD got = sizeof(reply);
        if (!d.Receive(channel, reply, &got, 1000)) {
            if (verbose)
                printf("    echo %u: receive failed\n", sequence);
            return false;
        }
        if (got && IsEchoReply(reply, got, self, peer, 0x4B58, sequence)) {
            double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            if (verbose)
                printf("    echo %u: reply from %s in %.2f ms\n", sequence,
                       FormatIPv4(peer).c_str(), ms);
            return true;
        }
    }
    if (verbose)
        printf("    echo %u: no reply\n", sequence);
    return false;
}

} // namespace kxsim
