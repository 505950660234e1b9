// The module's configurable state: identity, radio, registration, operator,
// signal, channel rates and the packet network the module attaches to.
#pragma once

#include <cstdint>
#include <string>

namespace kxmodem {

// 3GPP registration states, as +CREG reports them.
enum Registration : int {
    kRegNone = 0,
    kRegHome = 1,
    kRegSearching = 2,
    kRegDenied = 3,
    kRegRoaming = 5,
};

struct NetworkConfig {
    std::string apn = "kxtel.internet"; // compared case-insensitively
    std::string user = "kxuser";        // "" = any user accepted
    std::string password = "kxpass";    // "" = any password accepted
    uint8_t authMask = 0x03;            // methods the network takes: 1 PAP, 2 CHAP
};

struct ModemConfig {
    int registration = kRegHome; // as configured; radio off reports kRegNone
    bool radioOn = true;
    std::string operatorLong = "KxTel Mobile";
    std::string operatorShort = "KxTel";
    std::string operatorNumeric = "00101";
    int8_t signalDbm = -70;
    uint8_t radioInterface = 5;                             // UMTS
    uint8_t ecio = 10;                                      // in -0.5 dB steps
    uint32_t rates[4] = {384000, 3600000, 384000, 7200000}; // cur tx, cur rx, max tx, max rx
    NetworkConfig network;
    std::string ident[4] = {"Manufacturer: KxWireless", "Model: KX-H750 HSDPA",
                            "Revision: KXH750_R1.4.2 2007-05-14", "IMEI: 004999010640000"};
    uint32_t connectDelayMs = 0; // time a Start Network Interface takes to come up

    int EffectiveRegistration() const { return radioOn ? registration : kRegNone; }
    bool PacketServiceAvailable() const {
        int r = EffectiveRegistration();
        return r == kRegHome || r == kRegRoaming;
    }
};

// Session addresses: 10.64.<channel>.2; the network answers from any address.
inline uint32_t SessionAddress(int channel) {
    return (10u << 24) | (64u << 16) | (static_cast<uint32_t>(channel) << 8) | 2u;
}
std::string FormatAddress(uint32_t address);

} // namespace kxmodem
