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

// The lines of the module's identification (ATI1), each "Label: value".
enum IdentLine : int { kIdentManufacturer = 0, kIdentModel, kIdentRevision, kIdentImei };

// The serving cell (+CREG mode 2, NAS system information).
constexpr uint16_t kCellLac = 0x00A1;
constexpr uint32_t kCellId = 0x0001C3F2;

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
    std::string operatorNumeric = "00101"; // MCC (3 digits) then MNC (2 or 3)
    // The subscriber's own network (the SIM's), whatever the module is registered on.
    std::string homeOperatorLong = "KxTel Mobile";
    std::string homeOperatorNumeric = "00101";
    int8_t signalDbm = -70;
    uint8_t radioInterface = 5;                             // UMTS
    uint8_t ecio = 10;                                      // in -0.5 dB steps
    uint32_t rates[4] = {384000, 3600000, 384000, 7200000}; // cur tx, cur rx, max tx, max rx
    NetworkConfig network;
    std::string ident[4] = {"Manufacturer: KxWireless", "Model: KX-H750 HSDPA",
                            "Revision: KXH750_R1.4.2 2007-05-14", "IMEI: 004999010640000"};
    uint32_t connectDelayMs = 0; // time a Start Network Interface takes to come up

    // The value of an identification line (what follows "Label: ").
    std::string Identity(IdentLine line) const {
        const std::string &text = ident[line];
        size_t colon = text.find(": ");
        return colon == std::string::npos ? text : text.substr(colon + 2);
    }
    int EffectiveRegistration() const { return radioOn ? registration : kRegNone; }
    bool PacketServiceAvailable() const {
        int r = EffectiveRegistration();
        return r == kRegHome || r == kRegRoaming;
    }
};

// The operator's addressing plan: sessions are 10.64.<channel>.2 in
// 10.64.0.0/16, whose gateway (the operator's side of the network) is
// 10.64.255.1; its name servers are 10.64.255.1 and 10.64.255.2 unless the
// host asked for others. The echo network answers from any address.
inline uint32_t SessionAddress(int channel) {
    return (10u << 24) | (64u << 16) | (static_cast<uint32_t>(channel) << 8) | 2u;
}
constexpr uint32_t kOperatorGateway = (10u << 24) | (64u << 16) | (255u << 8) | 1u;
constexpr uint32_t kOperatorSubnetMask = 0xFFFF0000u;
constexpr uint32_t kOperatorDns[2] = {kOperatorGateway, kOperatorGateway + 1};
constexpr uint32_t kSessionMtu = 1500;
std::string FormatAddress(uint32_t address);

} // namespace kxmodem
