#include "run_fault.h"

#include "icmp_echo.h"
#include "kxcmd_client.h"
#include "kxsim.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace kxsim {

// The address the module gave the session on `channel`, 0 without one.
static uint32_t SessionAddress(kxmodem::Modem &modem, int channel) {
    uint32_t self = 0;
    for (const auto &s : modem.State().sessions)
        if (s.channel == channel)
            self = ParseIPv4(s.address);
    return self;
}

// Echo through the session, let the ports vanish, reopen, echo again. The
// driver is open; the caller logs off and closes whatever happens here.
static bool VanishWhileOnline(KxCmdClient &d, kxmodem::Modem &modem, int channel,
                              std::string *detail) {
    // The module's default network: its access point and credentials.
    LogonParameters p = {};
    p.accessPointName = "kxtel.internet";
    p.userName = "kxuser";
    p.password = "kxpass";
    printf("    KxCmdLogon(channel %d) -> ", channel);
    BOOL up = d.Logon(channel, &p, 0, nullptr);
    printf("%d\n", up);
    if (!up) {
        *detail = "logon failed";
        return false;
    }
    uint32_t self = SessionAddress(modem, channel);
    printf("    session address %s\n", FormatIPv4(self).c_str());
    if (!EchoThroughChannel(d, channel, self, 1, true)) {
        *detail = "no echo before the fault";
        return false;
    }
    printf("    the module's ports vanish for 1500 ms\n");
    modem.Control("vanish all 1500");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint8_t scrap[64];
    DWORD n = sizeof(scrap);
    printf("    a receive on the vanished port -> %d (as expected for a port that is gone)\n",
           d.Receive(channel, scrap, &n, 100));
    auto start = std::chrono::steady_clock::now();
    printf("    KxCmdReopen(10000) -> ");
    fflush(stdout);
    BOOL reopened = d.Reopen(10000);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("%d after %.0f ms\n", reopened, ms);
    if (!reopened) {
        *detail = "KxCmdReopen failed";
        return false;
    }
    if (!EchoThroughChannel(d, channel, self, 2, true)) {
        *detail = "no echo after the reopen";
        return false;
    }
    *detail = "reopened after " + std::to_string(static_cast<int>(ms)) + " ms, traffic resumed";
    return true;
}

bool RunVanishScenario(kxmodem::Modem &modem, int channel, std::string *detail) {
    KxCmdClient d;
    std::string error;
    if (!d.Load(&error)) {
        *detail = "cannot load the driver: " + error;
        return false;
    }
    setenv("KX_DEVICE_DIR", modem.DeviceDir().c_str(), 1);
    modem.Control("registration home");
    modem.Control("radio on");

    printf("    KxCmdOpen -> ");
    BOOL opened = d.Open();
    printf("%d\n", opened);
    if (!opened) {
        *detail = "KxCmdOpen failed";
        return false;
    }
    bool ok = VanishWhileOnline(d, modem, channel, detail);
    printf("    KxCmdLogoff -> %d\n", d.Logoff(channel, nullptr, nullptr));
    printf("    KxCmdClose -> %d\n", d.Close());
    return ok;
}

} // namespace kxsim
