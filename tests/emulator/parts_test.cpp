// The module's parts on their own: client id allocator, frame parsing,
// stream deframing, the data network, the AT interpreter and fault rules.
#include <gtest/gtest.h>

#include <random>

#include "at.h"
#include "clients.h"
#include "datanet.h"
#include "faults.h"
#include "model.h"
#include "qmux.h"

using namespace kxmodem;

TEST(ClientIdAllocator, RotatesPerServiceAndRejectsUnknownReleases) {
    ClientIdAllocator ids(3);
    EXPECT_EQ(1, ids.Allocate(1));
    EXPECT_EQ(2, ids.Allocate(1));
    EXPECT_EQ(1, ids.Allocate(3)); // each service counts on its own
    EXPECT_TRUE(ids.Release(1, 1));
    EXPECT_FALSE(ids.Release(1, 1));  // twice
    EXPECT_FALSE(ids.Release(1, 77)); // never given
    EXPECT_FALSE(ids.Release(2, 1));  // other service
    // A released id is not handed out again at once.
    EXPECT_EQ(3, ids.Allocate(1));
    EXPECT_EQ(4, ids.Allocate(1));
    EXPECT_EQ(0, ids.Allocate(1)); // capacity 3 reached: 2, 3, 4
    EXPECT_TRUE(ids.Release(1, 3));
    EXPECT_EQ(5, ids.Allocate(1));
}

TEST(ClientIdAllocator, WrapsAroundSkippingIdsInUse) {
    ClientIdAllocator ids(300);
    for (int i = 1; i <= 254; ++i)
        ASSERT_EQ(i, ids.Allocate(1));
    EXPECT_EQ(0, ids.Allocate(1)); // 1..254 all taken; 0 and 255 are never ids
    ids.Release(1, 100);
    ids.Release(1, 7);
    EXPECT_EQ(7, ids.Allocate(1));
    EXPECT_EQ(100, ids.Allocate(1));
    EXPECT_EQ(0, ids.Allocate(1));
}

TEST(QmuxFrame, BuildsAndParsesBothHeaderLayouts) {
    QmiMessage m;
    m.qmuxFlags = 0x80;
    m.service = 1;
    m.clientId = 9;
    m.flags = 0x02;
    m.transactionId = 0x1234;
    m.messageId = 0x0022;
    m.AddResult(0);
    m.AddU8(0x01, 2);
    Bytes f = BuildFrame(m);
    const Bytes expected{0x01, 0x17, 0x00, 0x80, 0x01, 0x09, 0x02, 0x34, 0x12, 0x22, 0x00, 0x0b,
                         0x00, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x02};
    EXPECT_EQ(expected, f);
    QmiMessage back;
    ASSERT_EQ(ParseStatus::kOk, ParseFrame(f.data(), f.size(), &back));
    EXPECT_EQ(0x1234, back.transactionId);
    ASSERT_EQ(2u, back.tlvs.size());

    // CTL: one-byte transaction id; the driver's Get Client Id request.
    const Bytes ctl{0x01, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                    0x22, 0x00, 0x04, 0x00, 0x01, 0x01, 0x00, 0x03};
    ASSERT_EQ(ParseStatus::kOk, ParseFrame(ctl.data(), ctl.size(), &back));
    EXPECT_EQ(5, back.transactionId);
    EXPECT_EQ(0x0022, back.messageId);
    ASSERT_NE(nullptr, back.Find(0x01));
    EXPECT_EQ(Bytes{3}, back.Find(0x01)->value);
}

TEST(QmuxFrame, InconsistentInputIsClassifiedNeverOverrun) {
    Bytes good{0x01, 0x0C, 0x00, 0x00, 0x01, 0x01, 0x00, 0x07, 0x00, 0x22, 0x00, 0x00, 0x00};
    QmiMessage m;
    EXPECT_EQ(ParseStatus::kOk, ParseFrame(good.data(), good.size(), &m));
    EXPECT_EQ(ParseStatus::kTooShort, ParseFrame(good.data(), 5, &m));
    Bytes wrongIf = good;
    wrongIf[0] = 0x02;
    EXPECT_EQ(ParseStatus::kBadInterface, ParseFrame(wrongIf.data(), wrongIf.size(), &m));
    EXPECT_EQ(ParseStatus::kLengthMismatch, ParseFrame(good.data(), good.size() - 1, &m));
    // TLV length claims a TLV that is not there: header still readable.
    Bytes tlvs = good;
    tlvs[11] = 3;
    tlvs.insert(tlvs.end(), {0x01, 0x05, 0x00});
    tlvs[1] = static_cast<uint8_t>(tlvs.size() - 1);
    EXPECT_EQ(ParseStatus::kBadTlvs, ParseFrame(tlvs.data(), tlvs.size(), &m));
    EXPECT_EQ(7, m.transactionId);

    // Random bytes and random mutations of a good frame: classified, never a crash
    // (the address sanitizer build catches overruns).
    std::mt19937 rng(5);
    for (int i = 0; i < 20000; ++i) {
        Bytes b = good;
        if (i % 2) {
            b.resize(rng() % 40);
            for (auto &x : b)
                x = static_cast<uint8_t>(rng());
        } else {
            b[rng() % b.size()] = static_cast<uint8_t>(rng());
            b.resize(b.size() + rng() % 4, static_cast<uint8_t>(rng()));
        }
        ParseFrame(b.data(), b.size(), &m);
    }
}

TEST(StreamDeframer, ReassemblesSplitFramesAndSkipsNoise) {
    QmiMessage m;
    m.service = 0;
    m.transactionId = 1;
    m.messageId = 0x21;
    Bytes a = BuildFrame(m);
    m.transactionId = 2;
    m.AddU8(0x01, 3);
    Bytes b = BuildFrame(m);
    Bytes stream{0x00, 0xFF, 0x01, 0x02, 0x00}; // noise, including a bogus 0x01 length 2
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    StreamDeframer d;
    std::vector<Bytes> frames;
    for (uint8_t byte : stream) { // one byte at a time, as a terminal may deliver them
        d.Feed(&byte, 1);
        for (Bytes f; d.Next(&f);)
            frames.push_back(f);
    }
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(a, frames[0]);
    EXPECT_EQ(b, frames[1]);
    EXPECT_EQ(5u, d.skipped());
}

namespace {

Bytes Ipv4(uint8_t protocol, uint32_t src, uint32_t dst, const Bytes &payload) {
    Bytes p(20, 0);
    p[0] = 0x45;
    size_t total = 20 + payload.size();
    p[2] = static_cast<uint8_t>(total >> 8);
    p[3] = static_cast<uint8_t>(total);
    p[4] = 0x12;
    p[5] = 0x34;
    p[8] = 64;
    p[9] = protocol;
    for (int i = 0; i < 4; ++i) {
        p[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        p[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    uint16_t c = InternetChecksum(p.data(), 20);
    p[10] = static_cast<uint8_t>(c >> 8);
    p[11] = static_cast<uint8_t>(c);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

Bytes IcmpEcho(uint16_t id, uint16_t seq, const std::string &data) {
    Bytes icmp{8,
               0,
               0,
               0,
               static_cast<uint8_t>(id >> 8),
               static_cast<uint8_t>(id),
               static_cast<uint8_t>(seq >> 8),
               static_cast<uint8_t>(seq)};
    icmp.insert(icmp.end(), data.begin(), data.end());
    uint16_t c = InternetChecksum(icmp.data(), icmp.size());
    icmp[2] = static_cast<uint8_t>(c >> 8);
    icmp[3] = static_cast<uint8_t>(c);
    return icmp;
}

uint16_t UdpChecksum(const Bytes &ip) {
    Bytes pseudo(ip.begin() + 12, ip.begin() + 20);
    size_t len = ip.size() - 20;
    pseudo.insert(pseudo.end(), {0, 17, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
    uint32_t sum = 0;
    for (size_t i = 0; i < pseudo.size(); i += 2)
        sum += static_cast<uint32_t>(pseudo[i] << 8 | pseudo[i + 1]);
    return InternetChecksum(ip.data() + 20, len, sum);
}

} // namespace

TEST(DataNetwork, ChecksumAgreesWithTheTextbookSum) {
    // RFC 1071 word by word, as a reference for the wide summation.
    auto reference = [](const Bytes &b, uint32_t sum) {
        for (size_t i = 0; i + 1 < b.size(); i += 2)
            sum += static_cast<uint32_t>(b[i] << 8 | b[i + 1]);
        if (b.size() & 1)
            sum += static_cast<uint32_t>(b.back() << 8);
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        return static_cast<uint16_t>(~sum);
    };
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        Bytes b(rng() % 1600);
        for (auto &x : b)
            x = static_cast<uint8_t>(i % 7 == 0 ? 0xFF : rng());
        uint32_t start = rng() % 0x30000;
        ASSERT_EQ(reference(b, start), InternetChecksum(b.data(), b.size(), start)) << b.size();
    }
}

TEST(DataNetwork, AnswersIcmpEchoWithValidChecksums) {
    const uint32_t me = SessionAddress(0), peer = 0x08080808;
    Bytes request = Ipv4(1, me, peer, IcmpEcho(0x4242, 7, "kxmodem ping"));
    Bytes reply;
    ASSERT_EQ(PacketVerdict::kAnswered, AnswerPacket(request.data(), request.size(), me, &reply));
    ASSERT_EQ(request.size(), reply.size());
    EXPECT_EQ(0, InternetChecksum(reply.data(), 20));
    EXPECT_EQ(0, InternetChecksum(reply.data() + 20, reply.size() - 20));
    EXPECT_EQ(0, reply[20]); // echo reply
    EXPECT_TRUE(std::equal(request.begin() + 12, request.begin() + 16, reply.begin() + 16));
    EXPECT_TRUE(std::equal(request.begin() + 16, request.begin() + 20, reply.begin() + 12));
    EXPECT_TRUE(std::equal(request.begin() + 24, request.end(), reply.begin() + 24));

    // Damaged header or ICMP checksum, or a foreign source: dropped as invalid.
    Bytes bad = request;
    bad[10] ^= 1;
    EXPECT_EQ(PacketVerdict::kInvalid, AnswerPacket(bad.data(), bad.size(), me, &reply));
    bad = request;
    bad.back() ^= 1;
    EXPECT_EQ(PacketVerdict::kInvalid, AnswerPacket(bad.data(), bad.size(), me, &reply));
    EXPECT_EQ(PacketVerdict::kInvalid,
              AnswerPacket(request.data(), request.size(), SessionAddress(1), &reply));
    // Valid but not for the echo service.
    Bytes tcp = Ipv4(6, me, peer, Bytes(20, 0));
    EXPECT_EQ(PacketVerdict::kUnanswered, AnswerPacket(tcp.data(), tcp.size(), me, &reply));
    for (size_t cut = 0; cut < request.size(); ++cut)
        AnswerPacket(request.data(), cut, me, &reply); // truncations never overrun
}

TEST(DataNetwork, EchoesUdpWithPortsSwappedAndPseudoHeaderChecksum) {
    const uint32_t me = SessionAddress(1), peer = 0x0A40FF01;
    Bytes udp{0x9c, 0x40, 0x00, 0x07, 0, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'}; // 40000 -> 7
    udp[5] = static_cast<uint8_t>(udp.size());
    Bytes request = Ipv4(17, me, peer, udp);
    uint16_t c = UdpChecksum(request);
    request[26] = static_cast<uint8_t>(c >> 8);
    request[27] = static_cast<uint8_t>(c);
    ASSERT_EQ(0, UdpChecksum(request));
    Bytes reply;
    ASSERT_EQ(PacketVerdict::kAnswered, AnswerPacket(request.data(), request.size(), me, &reply));
    EXPECT_EQ(0, UdpChecksum(reply));
    EXPECT_EQ(0x00, reply[20]);
    EXPECT_EQ(0x07, reply[21]);
    EXPECT_EQ(0x9c, reply[22]);
    EXPECT_EQ(0x40, reply[23]);
    EXPECT_EQ(std::string("hello"), std::string(reply.begin() + 28, reply.end()));
    request[30] ^= 0x20; // payload changed, checksum stale
    EXPECT_EQ(PacketVerdict::kInvalid, AnswerPacket(request.data(), request.size(), me, &reply));
}

namespace {

struct TestHost : AtHost {
    ModemConfig config;
    int radioCalls = 0;
    const ModemConfig &Config() const override { return config; }
    void SetRadio(bool on) override {
        config.radioOn = on;
        ++radioCalls;
    }
};

} // namespace

TEST(AtInterpreter, EchoAndVerboseIdentification) {
    TestHost host;
    AtSession at;
    EXPECT_EQ("ATE0\r\r\nOK\r\n", at.Feed("ATE0\r", host)); // echoed before it takes effect
    EXPECT_EQ("\r\nManufacturer: KxWireless\r\nModel: KX-H750 HSDPA\r\n"
              "Revision: KXH750_R1.4.2 2007-05-14\r\nIMEI: 004999010640000\r\n\r\nOK\r\n",
              at.Feed("ATI1\r", host));
    // A command split over several messages, LF after CR ignored, lower case accepted.
    EXPECT_EQ("", at.Feed("at+cf", host));
    EXPECT_EQ("\r\n+CFUN: 1\r\n\r\nOK\r\n", at.Feed("un?\r\n", host));
    EXPECT_EQ("\r\nERROR\r\n", at.Feed("AT+BOGUS\r", host));
    EXPECT_EQ("\r\nERROR\r\n", at.Feed("HELLO\r", host));
    EXPECT_EQ("", at.Feed("\r", host));
    EXPECT_EQ("\r\nOK\r\n", at.Feed("ATE1\r", host)); // echo starts after it
    EXPECT_EQ("AT\r\r\nOK\r\n", at.Feed("AT\r", host));
}

TEST(AtInterpreter, RegistrationOperatorAndRadio) {
    TestHost host;
    AtSession at;
    at.Feed("ATE0\r", host);
    EXPECT_EQ("", at.RegistrationCode(host.config)); // +CREG=0 by default
    EXPECT_EQ("\r\n+CREG: 0,1\r\n\r\nOK\r\n", at.Feed("AT+CREG?\r", host));
    EXPECT_EQ("\r\nOK\r\n", at.Feed("AT+CREG=1\r", host));
    EXPECT_EQ("\r\n+CREG: 1\r\n", at.RegistrationCode(host.config));
    host.config.registration = kRegRoaming;
    EXPECT_EQ("\r\n+CREG: 5\r\n", at.RegistrationCode(host.config));
    at.Feed("AT+CREG=2\r", host);
    EXPECT_EQ("\r\n+CREG: 5,\"00A1\",\"0001C3F2\"\r\n", at.RegistrationCode(host.config));
    EXPECT_EQ("\r\nERROR\r\n", at.Feed("AT+CREG=3\r", host));

    EXPECT_EQ("\r\nOK\r\n", at.Feed("AT+COPS=3,0\r", host));
    EXPECT_EQ("\r\n+COPS: 0,0,\"KxTel Mobile\",2\r\n\r\nOK\r\n", at.Feed("AT+COPS?\r", host));
    at.Feed("AT+COPS=3,2\r", host);
    EXPECT_EQ("\r\n+COPS: 0,2,\"00101\",2\r\n\r\nOK\r\n", at.Feed("AT+COPS?\r", host));

    EXPECT_EQ("\r\nOK\r\n", at.Feed("AT+CFUN=0\r", host));
    EXPECT_FALSE(host.config.radioOn);
    EXPECT_EQ("\r\n+CFUN: 0\r\n\r\nOK\r\n", at.Feed("AT+CFUN?\r", host));
    EXPECT_EQ("\r\n+COPS: 0\r\n\r\nOK\r\n", at.Feed("AT+COPS?\r", host)); // not registered
    EXPECT_EQ("\r\n+CREG: 0\r\n", at.RegistrationCode(host.config));
    EXPECT_EQ("\r\nERROR\r\n", at.Feed("AT+CFUN=7\r", host));
    EXPECT_EQ("\r\nOK\r\n", at.Feed("AT+CFUN=1\r", host));
    EXPECT_EQ(2, host.radioCalls);
}

TEST(FaultRules, ParseMatchAndCount) {
    FaultTable table;
    FaultRule rule;
    std::string error;
    ASSERT_TRUE(
        FaultTable::Parse({"reject", "0x0E", "service=wds", "msg=0x20", "count=2"}, &rule, &error))
        << error;
    table.Add(rule);
    ASSERT_TRUE(FaultTable::Parse({"delay", "50", "count=always"}, &rule, &error)) << error;
    table.Add(rule);
    EXPECT_EQ(FaultKind::kDelay, table.Match(3, 0x20).kind); // NAS: only the second rule
    FaultAction a = table.Match(1, 0x20);
    EXPECT_EQ(FaultKind::kReject, a.kind);
    EXPECT_EQ(0x0E, a.error);
    EXPECT_EQ(FaultKind::kReject, table.Match(1, 0x20).kind);
    EXPECT_EQ(FaultKind::kDelay, table.Match(1, 0x20).kind); // reject used up
    EXPECT_EQ(50u, table.Match(1, 0x20).ms);
    EXPECT_EQ(1u, table.size());

    EXPECT_FALSE(FaultTable::Parse({"reject"}, &rule, &error));
    EXPECT_FALSE(FaultTable::Parse({"reject", "0"}, &rule, &error));
    EXPECT_FALSE(FaultTable::Parse({"delay", "x"}, &rule, &error));
    EXPECT_FALSE(FaultTable::Parse({"explode"}, &rule, &error));
    EXPECT_FALSE(FaultTable::Parse({"drop", "service=zz"}, &rule, &error));
    EXPECT_FALSE(FaultTable::Parse({"drop", "count=0"}, &rule, &error));
    ASSERT_TRUE(FaultTable::Parse({"malformed", "flags", "service=ctl"}, &rule, &error));
    EXPECT_EQ(MalformKind::kFlags, rule.action.malform);
    EXPECT_EQ(0, rule.service);
}
