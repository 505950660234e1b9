#include "run_fault.h"

#include "icmp_echo.h"
#include "kxsim.h"

#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <thread>

#include "KxCmdApi.h"

namespace kxsim {
namespace {

struct Driver {
    void *library = nullptr;
    decltype(&KxCmdOpen) open = nullptr;
    decltype(&KxCmdClose) close = nullptr;
    decltype(&KxCmdReopen) reopen = nullptr;
    decltype(&KxCmdLogon) logon = nullptr;
    decltype(&KxCmdLogoff) logoff = nullptr;
    decltype(&KxCmdSend) send = nullptr;
    decltype(&KxCmdReceive) receive = nullptr;

    bool Load(std::string *error) {
        std::string path = BuildDirectory() + "/KxCmdApi.so";
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            *error = dlerror();
            return false;
        }
        open = reinterpret_cast<decltype(open)>(dlsym(library, "KxCmdOpen"));
        close = reinterpret_cast<decltype(close)>(dlsym(library, "KxCmdClose"));
        reopen = reinterpret_cast<decltype(reopen)>(dlsym(library, "KxCmdReopen"));
        logon = reinterpret_cast<decltype(logon)>(dlsym(library, "KxCmdLogon"));
        logoff = reinterpret_cast<decltype(logoff)>(dlsym(library, "KxCmdLogoff"));
        send = reinterpret_cast<decltype(send)>(dlsym(library, "KxCmdSend"));
        receive = reinterpret_cast<decltype(receive)>(dlsym(library, "KxCmdReceive"));
        if (!(open && close && reopen && logon && logoff && send && receive)) {
            *error = "KxCmdApi.so lacks an export";
            return false;
        }
        return true;
    }
    ~Driver() {
        if (library)
            dlclose(library);
    }
};

// One echo request through the data channel; true when its reply came back.
bool Echo(Driver &d, int channel, uint32_t self, uint16_t sequence) {
    const uint32_t peer = ParseIPv4("10.64.255.1");
    std::vector<uint8_t> request = BuildEchoRequest(self, peer, 0x4B58, sequence, 56);
    DWORD length = static_cast<DWORD>(request.size());
    auto start = std::chrono::steady_clock::now();
    if (!d.send(channel, request.data(), &length, 2000)) {
        printf("    echo %u: send failed\n", sequence);
        return false;
    }
    uint8_t reply[2048];
    for (int attempt = 0; attempt < 5; ++attempt) {
        DWORD got = sizeof(reply);
        if (!d.receive(channel, reply, &got, 1000)) {
            printf("    echo %u: receive failed\n", sequence);
            return false;
        }
        if (got && IsEchoReply(reply, got, self, peer, 0x4B58, sequence)) {
            double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            printf("    echo %u: reply from %s in %.2f ms\n", sequence, FormatIPv4(peer).c_str(),
                   ms);
            return true;
        }
    }
    printf("    echo %u: no reply\n", sequence);
    return false;
}

} // namespace

bool RunVanishScenario(kxmodem::Modem &modem, int channel, std::string *detail) {
    Driver d;
    std::string error;
    if (!d.Load(&error)) {
        *detail = "cannot load the driver: " + error;
        return false;
    }
    setenv("KX_DEVICE_DIR", modem.DeviceDir().c_str(), 1);
    modem.Control("registration home");
    modem.Control("radio on");

    printf("    KxCmdOpen -> ");
    BOOL opened = d.open();
    printf("%d\n", opened);
    if (!opened) {
        *detail = "KxCmdOpen failed";
        return false;
    }
    bool ok = false;
    do {
        // The module's default network: its access point and credentials.
        LogonParameters p = {};
        p.accessPointName = "kxtel.internet";
        p.userName = "kxuser";
        p.password = "kxpass";
        printf("    KxCmdLogon(channel %d) -> ", channel);
        BOOL up = d.logon(channel, &p, 0, nullptr);
        printf("%d\n", up);
        if (!up) {
            *detail = "logon failed";
            break;
        }
        uint32_t self = 0;
        for (const auto &s : modem.State().sessions)
            if (s.channel == channel)
                self = ParseIPv4(s.address);
        printf("    session address %s\n", FormatIPv4(self).c_str());
        if (!Echo(d, channel, self, 1)) {
            *detail = "no echo before the fault";
            break;
        }
        printf("    the module's ports vanish for 1500 ms\n");
        modem.Control("vanish all 1500");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        uint8_t scrap[64];
        DWORD n = sizeof(scrap);
        printf("    a receive on the vanished port -> %d (as expected for a port that is gone)\n",
               d.receive(channel, scrap, &n, 100));
        auto start = std::chrono::steady_clock::now();
        printf("    KxCmdReopen(10000) -> ");
        fflush(stdout);
        BOOL reopened = d.reopen(10000);
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        printf("%d after %.0f ms\n", reopened, ms);
        if (!reopened) {
            *detail = "KxCmdReopen failed";
            break;
        }
        if (!Echo(d, channel, self, 2)) {
            *detail = "no echo after the reopen";
            break;
        }
        ok = true;
        *detail = "reopened after " + std::to_string(static_cast<int>(ms)) + " ms, traffic resumed";
    } while (false);
    printf("    KxCmdLogoff -> %d\n", d.logoff(channel, nullptr, nullptr));
    printf("    KxCmdClose -> %d\n", d.close());
    return ok;
}

} // namespace kxsim
