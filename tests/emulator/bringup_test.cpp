// The services a bring-up engineer asks first (DMS identity and operating
// mode, WDS current settings, NAS serving system, home network and system
// information, supported messages), the decoded trace and the capture.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "icmp_echo.h"
#include "kxqmi/qmi_table.h"
#include "model.h"
#include "test_client.h"
#include "trace.h"

using namespace kxtest;
using kxmodem::GetU16;
using kxmodem::GetU32;
namespace qmi = kxqmi;

namespace {

std::string Text(const kxmodem::Tlv *t) {
    return t ? std::string(t->value.begin(), t->value.end()) : "(none)";
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class BringUpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(modem.Start(dir.path() + "/dev", options, &error)) << error;
        ASSERT_TRUE(qmi.Connect(dir.path() + "/dev"));
        dms = qmi.GetClientId(qmi::kDms);
        nas = qmi.GetClientId(qmi::kNas);
        wds = qmi.GetClientId(qmi::kWds);
        ASSERT_NE(0, dms);
        ASSERT_NE(0, nas);
        ASSERT_NE(0, wds);
    }
    QmiMessage Ask(uint8_t service, uint16_t message) {
        uint8_t cid = service == qmi::kDms ? dms : service == qmi::kNas ? nas : wds;
        return qmi.Call(qmi.Request(service, cid, message));
    }
    QmiMessage Start(uint32_t primaryDns = 0) {
        QmiMessage r = qmi.Request(qmi::kWds, wds, qmi::kWdsStartNetwork);
        r.AddTlv(qmi::kSnApn, std::string("kxtel.internet"));
        r.AddTlv(qmi::kSnUserName, std::string("kxuser"));
        r.AddTlv(qmi::kSnPassword, std::string("kxpass"));
        if (primaryDns)
            r.AddU32(qmi::kSnPrimaryDns, primaryDns);
        return qmi.Call(r);
    }
    // The serving system's registration state, roaming indicator (-1: none)
    // and current operator ("" when none).
    struct Serving {
        int registration = -1, roaming = -1;
        std::string plmn;
    };
    static Serving ReadServing(const QmiMessage &m) {
        Serving s;
        if (const kxmodem::Tlv *t = m.Find(qmi::kTlvFirst))
            s.registration = t->value.empty() ? -1 : t->value[0];
        if (const kxmodem::Tlv *t = m.Find(qmi::kTlvRoamingIndicator))
            s.roaming = t->value.size() == 1 ? t->value[0] : -2;
        if (const kxmodem::Tlv *t = m.Find(qmi::kTlvCurrentPlmn); t && t->value.size() >= 5)
            s.plmn = std::to_string(GetU16(t->value.data())) + "-" +
                     std::to_string(GetU16(t->value.data() + 2)) + " " +
                     std::string(t->value.begin() + 5, t->value.end());
        return s;
    }

    TempDir dir;
    kxmodem::Options options;
    kxmodem::Modem modem;
    QmiClient qmi;
    uint8_t dms = 0, nas = 0, wds = 0;
};

} // namespace

TEST_F(BringUpTest, IdentityIsTheOneThatAnswersAti1) {
    EXPECT_EQ("KxWireless", Text(Ask(qmi::kDms, qmi::kDmsGetManufacturer).Find(qmi::kTlvFirst)));
    EXPECT_EQ("KX-H750 HSDPA", Text(Ask(qmi::kDms, qmi::kDmsGetModel).Find(qmi::kTlvFirst)));
    EXPECT_EQ("KXH750_R1.4.2 2007-05-14",
              Text(Ask(qmi::kDms, qmi::kDmsGetRevision).Find(qmi::kTlvFirst)));
    QmiMessage ids = Ask(qmi::kDms, qmi::kDmsGetIds);
    EXPECT_EQ("004999010640000", Text(ids.Find(qmi::kTlvImei)));
    EXPECT_EQ(nullptr, ids.Find(qmi::kTlvEsn)); // a 3GPP module has none

    // A new identity shows in both places at once.
    ASSERT_EQ("ok", modem.Control("ident \"Manufacturer: Other\" \"Model: M2\" \"Revision: R9\" "
                                  "\"IMEI: 350000000000001\""));
    EXPECT_EQ("M2", Text(Ask(qmi::kDms, qmi::kDmsGetModel).Find(qmi::kTlvFirst)));
    EXPECT_EQ("350000000000001", Text(Ask(qmi::kDms, qmi::kDmsGetIds).Find(qmi::kTlvImei)));
    Socket at;
    ASSERT_TRUE(at.Connect(dir.path() + "/dev/KXA1"));
    at.Send("ATE0I1\r");
    std::string text = at.RecvText("OK");
    EXPECT_NE(std::string::npos, text.find("Model: M2\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("IMEI: 350000000000001\r\n")) << text;
}

TEST_F(BringUpTest, OperatingModeFollowsTheRadio) {
    auto mode = [&] {
        QmiMessage reply = Ask(qmi::kDms, qmi::kDmsGetOperatingMode);
        const kxmodem::Tlv *t = reply.Find(qmi::kTlvFirst);
        return t && t->value.size() == 1 ? t->value[0] : -1;
    };
    EXPECT_EQ(qmi::kModeOnline, mode());
    ASSERT_EQ("ok", modem.Control("radio off"));
    EXPECT_EQ(qmi::kModeLowPower, mode());
    ASSERT_EQ("ok", modem.Control("radio on"));
    EXPECT_EQ(qmi::kModeOnline, mode());
}

TEST_F(BringUpTest, CurrentSettingsAreTheSessionsAddressing) {
    EXPECT_EQ(qmi::kErrOutOfCall, QmiClient::Error(Ask(qmi::kWds, qmi::kWdsGetCurrentSettings)));
    const uint32_t dns = 0xC0000235; // 192.0.2.53, asked for by the host
    ASSERT_EQ(0, QmiClient::Error(Start(dns)));
    auto check = [&](const QmiMessage &s) {
        ASSERT_EQ(0, QmiClient::Error(s));
        auto u32 = [&](uint8_t type) {
            const kxmodem::Tlv *t = s.Find(type);
            return t && t->value.size() == 4 ? GetU32(t->value.data()) : 0u;
        };
        EXPECT_EQ(kxmodem::SessionAddress(0), u32(qmi::kCsIpv4Address));
        EXPECT_EQ(0x0A40FF01u, u32(qmi::kCsIpv4Gateway));
        EXPECT_EQ(0xFFFF0000u, u32(qmi::kCsIpv4SubnetMask));
        EXPECT_EQ(dns, u32(qmi::kCsPrimaryDns));
        EXPECT_EQ(0x0A40FF02u, u32(qmi::kCsSecondaryDns)); // the operator's
        EXPECT_EQ(1500u, u32(qmi::kCsMtu));
        EXPECT_EQ("kxtel.internet", Text(s.Find(qmi::kCsApn)));
    };
    check(Ask(qmi::kWds, qmi::kWdsGetCurrentSettings));
    // A client without a session of its own (a tool beside the driver) sees
    // the session that is up.
    uint8_t other = qmi.GetClientId(qmi::kWds);
    check(qmi.Call(qmi.Request(qmi::kWds, other, qmi::kWdsGetCurrentSettings)));
}

TEST_F(BringUpTest, ServingSystemFollowsRegistrationAndOperator) {
    Serving s = ReadServing(Ask(qmi::kNas, qmi::kNasGetServingSystem));
    EXPECT_EQ(qmi::kNasRegistered, s.registration);
    EXPECT_EQ(qmi::kRoamingOff, s.roaming);
    EXPECT_EQ("1-1 KxTel Mobile", s.plmn);

    ASSERT_EQ("ok", modem.Control("registration roaming"));
    ASSERT_EQ("ok", modem.Control("operator \"Far Away Tel\" FAT 99988"));
    s = ReadServing(Ask(qmi::kNas, qmi::kNasGetServingSystem));
    EXPECT_EQ(qmi::kNasRegistered, s.registration);
    EXPECT_EQ(qmi::kRoamingOn, s.roaming);
    EXPECT_EQ("999-88 Far Away Tel", s.plmn);
    // The home network stays the subscriber's.
    QmiMessage home = Ask(qmi::kNas, qmi::kNasGetHomeNetwork);
    const kxmodem::Tlv *h = home.Find(qmi::kTlvFirst);
    ASSERT_TRUE(h && h->value.size() == 5 + 12);
    EXPECT_EQ(1, GetU16(h->value.data()));
    EXPECT_EQ("KxTel Mobile", std::string(h->value.begin() + 5, h->value.end()));
    // System info: registered, roaming, the visited network's MCC and MNC.
    QmiMessage info = Ask(qmi::kNas, qmi::kNasGetSystemInfo);
    const kxmodem::Tlv *status = info.Find(qmi::kTlvWcdmaServiceStatus);
    const kxmodem::Tlv *wcdma = info.Find(qmi::kTlvWcdmaSystemInfo);
    ASSERT_TRUE(status && wcdma);
    EXPECT_EQ(qmi::kServiceAvailable, status->value[0]);
    ASSERT_EQ(33u, wcdma->value.size());
    EXPECT_EQ(1, wcdma->value[5]); // roaming
    EXPECT_EQ("99988\xff", std::string(wcdma->value.begin() + 20, wcdma->value.begin() + 26));
    EXPECT_EQ(kxmodem::kCellLac, GetU16(wcdma->value.data() + 9));

    EXPECT_NE("ok", modem.Control("operator X Y 12a45")); // not a numeric name

    ASSERT_EQ("ok", modem.Control("registration searching"));
    s = ReadServing(Ask(qmi::kNas, qmi::kNasGetServingSystem));
    EXPECT_EQ(qmi::kNasSearching, s.registration);
    EXPECT_EQ(-1, s.roaming);
    EXPECT_EQ("", s.plmn);
    info = Ask(qmi::kNas, qmi::kNasGetSystemInfo);
    EXPECT_EQ(nullptr, info.Find(qmi::kTlvWcdmaSystemInfo));
    ASSERT_EQ("ok", modem.Control("registration home"));
    ASSERT_EQ("ok", modem.Control("radio off"));
    EXPECT_EQ(qmi::kNasNotRegistered,
              ReadServing(Ask(qmi::kNas, qmi::kNasGetServingSystem)).registration);
}

TEST_F(BringUpTest, ServingSystemIndicationGoesToClientsThatAskedForIt) {
    QmiClient other;
    ASSERT_TRUE(other.Connect(dir.path() + "/dev"));
    uint8_t otherNas = other.GetClientId(qmi::kNas);
    ASSERT_NE(0, otherNas);
    QmiMessage r = qmi.Request(qmi::kNas, nas, qmi::kNasRegisterIndications);
    r.AddU8(qmi::kTlvServingSystemEvents, 1);
    ASSERT_EQ(0, QmiClient::Error(qmi.Call(r)));

    ASSERT_EQ("ok", modem.Control("registration roaming"));
    QmiMessage ind;
    ASSERT_TRUE(qmi.NextIndication(&ind, 1000));
    EXPECT_EQ(qmi::kNas, ind.service);
    EXPECT_EQ(nas, ind.clientId);
    EXPECT_EQ(qmi::kNasGetServingSystem, ind.messageId);
    EXPECT_EQ(nullptr, ind.Find(qmi::kTlvResult)); // an indication has no result
    Serving s = ReadServing(ind);
    EXPECT_EQ(qmi::kNasRegistered, s.registration);
    EXPECT_EQ(qmi::kRoamingOn, s.roaming);
    EXPECT_FALSE(other.NextIndication(&ind, 200)); // it did not ask

    ASSERT_EQ("ok", modem.Control("registration roaming")); // no change, no indication
    EXPECT_FALSE(qmi.NextIndication(&ind, 200));
    ASSERT_EQ("ok", modem.Control("radio off"));
    ASSERT_TRUE(qmi.NextIndication(&ind, 1000));
    EXPECT_EQ(qmi::kNasNotRegistered, ReadServing(ind).registration);

    // Asking for no more of them ends them.
    r = qmi.Request(qmi::kNas, nas, qmi::kNasRegisterIndications);
    r.AddU8(qmi::kTlvServingSystemEvents, 0);
    ASSERT_EQ(0, QmiClient::Error(qmi.Call(r)));
    ASSERT_EQ("ok", modem.Control("radio on"));
    EXPECT_FALSE(qmi.NextIndication(&ind, 200));
    r = qmi.Request(qmi::kNas, nas, qmi::kNasRegisterIndications);
    r.AddTlv(qmi::kTlvServingSystemEvents, Bytes{1, 1});
    EXPECT_EQ(qmi::kErrMalformedMsg, QmiClient::Error(qmi.Call(r)));
}

TEST_F(BringUpTest, ARestartedModuleForgetsWhoAskedForIndications) {
    QmiMessage r = qmi.Request(qmi::kNas, nas, qmi::kNasRegisterIndications);
    r.AddU8(qmi::kTlvServingSystemEvents, 1);
    ASSERT_EQ(0, QmiClient::Error(qmi.Call(r)));
    ASSERT_EQ("ok", modem.Control("reset"));
    ASSERT_EQ("ok", modem.Control("restore all"));
    ASSERT_EQ("ok", modem.Control("registration roaming"));
    EXPECT_EQ(0u, modem.State().counters.indicationsLost);
}

TEST_F(BringUpTest, SupportedMessagesAndVersionsComeFromTheTable) {
    for (uint8_t service : {qmi::kWds, qmi::kDms, qmi::kNas}) {
        QmiMessage reply = Ask(service, qmi::kGetSupportedMessages);
        const kxmodem::Tlv *t = reply.Find(qmi::kTlvSupportedMessages);
        ASSERT_TRUE(t && t->value.size() >= 2);
        size_t bytes = GetU16(t->value.data());
        ASSERT_EQ(bytes + 2, t->value.size());
        for (const auto &m : qmi::Messages()) {
            if (m.service != service)
                continue;
            bool listed = m.id / 8u < bytes && (t->value[2 + m.id / 8u] >> (m.id % 8u)) & 1;
            EXPECT_EQ(m.served, listed) << m.name;
            // Whatever it lists, it answers (with something else than "unknown message").
            if (m.served) {
                EXPECT_NE(qmi::kErrInvalidQmiCmd, QmiClient::Error(Ask(service, m.id))) << m.name;
            }
        }
    }
    EXPECT_EQ(qmi::kErrInvalidQmiCmd, QmiClient::Error(Ask(qmi::kDms, 0x0024)));

    QmiMessage versions = qmi.Call(qmi.Request(qmi::kCtl, 0, qmi::kCtlGetVersionInfo));
    const kxmodem::Tlv *v = versions.Find(qmi::kTlvFirst);
    ASSERT_TRUE(v && !v->value.empty());
    ASSERT_EQ(1 + 5 * v->value[0], v->value.size());
    std::string services;
    for (size_t i = 0; i < v->value[0]; ++i)
        services += std::string(qmi::ServiceName(v->value[1 + 5 * i])) + " ";
    EXPECT_EQ("CTL WDS DMS NAS ", services);
}

TEST_F(BringUpTest, FaultsReachTheNewServicesToo) {
    ASSERT_EQ("ok", modem.Control("fault reject 0x1A service=dms msg=0x25"));
    EXPECT_EQ(qmi::kErrNoEffect, QmiClient::Error(Ask(qmi::kDms, qmi::kDmsGetIds)));
    EXPECT_EQ(0, QmiClient::Error(Ask(qmi::kDms, qmi::kDmsGetIds))); // used up
    ASSERT_EQ("ok", modem.Control("fault drop service=NAS msg=0x24"));
    QmiMessage reply;
    ASSERT_TRUE(qmi.Send(qmi.Request(qmi::kNas, nas, qmi::kNasGetServingSystem)));
    EXPECT_FALSE(qmi.NextReply(&reply, nullptr, 300));
}

class TracedBringUpTest : public BringUpTest {
  protected:
    void SetUp() override {
        options.tracePath = dir.path() + "/trace";
        options.pcapPath = dir.path() + "/capture.pcapng";
        BringUpTest::SetUp();
    }
};

TEST_F(TracedBringUpTest, TraceDecodesValuesAndMasksThePassword) {
    ASSERT_EQ(0, QmiClient::Error(Ask(qmi::kNas, qmi::kNasGetSignalStrength)));
    ASSERT_EQ(0, QmiClient::Error(Start()));
    modem.Stop();
    std::string trace = ReadFile(options.tracePath);
    EXPECT_NE(std::string::npos, trace.find("[0x01 signal strength: signal_strength_dbm=-70 "
                                            "radio_interface=umts(5) | ba 05]"))
        << trace;
    EXPECT_NE(std::string::npos, trace.find("[0x14 APN: apn=\"kxtel.internet\" | 6b 78"));
    EXPECT_NE(std::string::npos, trace.find("[0x18 password: password=******** | (hidden)]"));
    EXPECT_EQ(std::string::npos, trace.find("kxpass"));
    EXPECT_EQ(std::string::npos, trace.find("6b 78 70 61 73 73")); // nor its bytes
}

TEST(TraceMasking, PasswordsAreMaskedEvenInBrokenFrames) {
    QmiMessage start = QmiClient::Make(qmi::kWds, 1, qmi::kWdsStartNetwork, 5);
    start.AddTlv(qmi::kSnUserName, std::string("kxuser"));
    start.AddTlv(qmi::kSnPassword, std::string("kxpass"));
    Bytes whole = kxmodem::BuildFrame(start);
    // Whole; a password TLV that claims more than the frame holds; a frame
    // cut inside the password.
    Bytes overlong = whole;
    overlong[overlong.size() - 8] = 0x40;
    Bytes cut(whole.begin(), whole.end() - 2);
    for (Bytes frame : {whole, overlong, cut}) {
        kxmodem::Trace::MaskSecrets(frame.data(), frame.size());
        std::string text(frame.begin(), frame.end());
        EXPECT_EQ(std::string::npos, text.find("kxp"))
            << kxmodem::Trace::Hex(frame.data(), frame.size());
        EXPECT_NE(std::string::npos, text.find("kxuser"));
        EXPECT_EQ(whole.size() - (frame.size() < whole.size() ? 2 : 0), frame.size());
    }
}

TEST_F(BringUpTest, TraceShowsThePasswordWhenAskedTo) {
    modem.Stop();
    options.tracePath = dir.path() + "/trace";
    options.showSecrets = true;
    std::string error;
    ASSERT_TRUE(modem.Start(dir.path() + "/dev", options, &error)) << error;
    QmiClient fresh;
    ASSERT_TRUE(fresh.Connect(dir.path() + "/dev"));
    QmiMessage r = fresh.Request(qmi::kWds, fresh.GetClientId(qmi::kWds), qmi::kWdsStartNetwork);
    r.AddTlv(qmi::kSnPassword, std::string("kxpass"));
    fresh.Call(r);
    modem.Stop();
    std::string trace = ReadFile(options.tracePath);
    EXPECT_NE(std::string::npos, trace.find("password=\"kxpass\" | 6b 78 70 61 73 73]")) << trace;
}

namespace {

struct PcapPacket {
    uint32_t interface = 0, flags = 0;
    Bytes data;
    std::string comment;
};
struct Pcap {
    bool valid = false;
    std::vector<std::pair<uint16_t, std::string>> interfaces; // link type, name
    std::vector<PcapPacket> packets;
};

// Reads the blocks a pcapng file of one section holds.
Pcap ReadPcap(const std::string &bytes) {
    Pcap pcap;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(bytes.data());
    size_t at = 0;
    while (at + 12 <= bytes.size()) {
        uint32_t type = GetU32(p + at), length = GetU32(p + at + 4);
        if (length < 12 || length % 4 || at + length > bytes.size() ||
            GetU32(p + at + length - 4) != length)
            return pcap;
        const uint8_t *body = p + at + 8;
        size_t options = 0;
        PcapPacket packet;
        if (type == 0x0A0D0D0A) {
            if (at != 0 || GetU32(body) != 0x1A2B3C4D)
                return pcap;
            options = 16;
        } else if (type == 1) {
            pcap.interfaces.push_back({GetU16(body), ""});
            options = 8;
        } else if (type == 6) {
            packet.interface = GetU32(body);
            uint32_t captured = GetU32(body + 12);
            packet.data.assign(body + 20, body + 20 + captured);
            options = 20 + (captured + 3) / 4 * 4;
        }
        for (size_t o = options; o + 4 <= length - 12;) {
            uint16_t code = GetU16(body + o), size = GetU16(body + o + 2);
            if (code == 0)
                break;
            std::string value(reinterpret_cast<const char *>(body + o + 4), size);
            if (type == 1 && code == 2)
                pcap.interfaces.back().second = value;
            if (type == 6 && code == 1)
                packet.comment = value;
            if (type == 6 && code == 2 && size == 4)
                packet.flags = GetU32(body + o + 4);
            o += 4 + (size + 3u) / 4 * 4;
        }
        if (type == 6)
            pcap.packets.push_back(packet);
        at += length;
    }
    pcap.valid = at == bytes.size();
    return pcap;
}

} // namespace

TEST_F(TracedBringUpTest, CaptureHoldsControlFramesAndDataPackets) {
    Socket kxn1;
    ASSERT_TRUE(kxn1.Connect(dir.path() + "/dev/KXN1"));
    ASSERT_EQ(0, QmiClient::Error(Start()));
    uint32_t session = kxmodem::SessionAddress(0), peer = 0x0A40FF01;
    Bytes ping = kxsim::BuildEchoRequest(session, peer, 7, 1, 32);
    ASSERT_TRUE(kxn1.Send(ping));
    Bytes echo;
    ASSERT_TRUE(kxn1.Recv(&echo));
    modem.Stop();

    Pcap pcap = ReadPcap(ReadFile(options.pcapPath));
    ASSERT_TRUE(pcap.valid);
    ASSERT_EQ(4u, pcap.interfaces.size());
    EXPECT_EQ((std::pair<uint16_t, std::string>{147, "KXC1"}), pcap.interfaces[0]);
    EXPECT_EQ((std::pair<uint16_t, std::string>{147, "pty"}), pcap.interfaces[1]);
    EXPECT_EQ((std::pair<uint16_t, std::string>{101, "KXN1"}), pcap.interfaces[2]);
    EXPECT_EQ((std::pair<uint16_t, std::string>{101, "KXN2"}), pcap.interfaces[3]);

    // Every control frame both ways, in order, on KXC1 with its connection;
    // the start request's password masked in place.
    size_t requests = 0, replies = 0, indications = 0;
    bool sawStart = false;
    for (const PcapPacket &p : pcap.packets) {
        if (p.interface != 0)
            continue;
        EXPECT_EQ(0u, p.comment.find("KXC1#")) << p.comment;
        QmiMessage m;
        ASSERT_EQ(kxmodem::ParseStatus::kOk, kxmodem::ParseFrame(p.data.data(), p.data.size(), &m));
        bool fromModule = (m.qmuxFlags & qmi::kQmuxFromService) != 0;
        EXPECT_EQ(fromModule ? 2u : 1u, p.flags); // outbound : inbound
        requests += !fromModule;
        replies += fromModule && m.flags != qmi::kIndication;
        indications += m.flags == qmi::kIndication;
        if (!fromModule && m.messageId == qmi::kWdsStartNetwork && m.service == qmi::kWds) {
            sawStart = true;
            EXPECT_EQ("******", Text(m.Find(qmi::kSnPassword)));
            EXPECT_EQ("kxuser", Text(m.Find(qmi::kSnUserName)));
        }
    }
    EXPECT_EQ(4u, requests); // three client ids and the start
    EXPECT_EQ(4u, replies);
    EXPECT_EQ(1u, indications); // connected
    EXPECT_TRUE(sawStart);
    // The ping and its echo on KXN1, as raw IP.
    std::vector<PcapPacket> data;
    for (const PcapPacket &p : pcap.packets) {
        if (p.interface == 2)
            data.push_back(p);
    }
    ASSERT_EQ(2u, data.size());
    EXPECT_EQ(ping, data[0].data);
    EXPECT_EQ(1u, data[0].flags);
    EXPECT_EQ(echo, data[1].data);
    EXPECT_EQ(2u, data[1].flags);
    EXPECT_TRUE(kxsim::IsEchoReply(data[1].data.data(), data[1].data.size(), session, peer, 7, 1));
}

TEST(CaptureFile, AnUnwritableCaptureStopsTheStart) {
    TempDir dir;
    kxmodem::Modem modem;
    kxmodem::Options options;
    options.pcapPath = dir.path() + "/no/such/folder/capture.pcapng";
    std::string error;
    EXPECT_FALSE(modem.Start(dir.path() + "/dev", options, &error));
    EXPECT_NE(std::string::npos, error.find("capture")) << error;
}
