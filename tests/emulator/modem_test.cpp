// An embedded kxmodem driven through its sockets: control point, sessions and
// indications, data path, AT sessions, faults, vanishing ports and controls.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "datanet.h"
#include "model.h"
#include "test_client.h"

using namespace kxtest;
using kxmodem::GetU16;
using kxmodem::GetU32;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t kCtl = 0, kWds = 1, kNas = 3;

class ModemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (getenv("KXMODEM_TEST_TRACE"))
            options.tracePath = "-";
        std::string error;
        ASSERT_TRUE(modem.Start(dir.path(), options, &error)) << error;
        ASSERT_TRUE(qmi.Connect(dir.path()));
        wds = qmi.GetClientId(kWds);
        nas = qmi.GetClientId(kNas);
        ASSERT_NE(0, wds);
        ASSERT_NE(0, nas);
    }

    QmiMessage Start(const std::string &apn = "kxtel.internet", const char *user = "kxuser",
                     const char *password = "kxpass", int auth = -1) {
        QmiMessage r = qmi.Request(kWds, wds, 0x0020);
        r.AddTlv(0x14, apn);
        if (user)
            r.AddTlv(0x17, std::string(user));
        if (password)
            r.AddTlv(0x18, std::string(password));
        if (auth >= 0)
            r.AddU8(0x16, static_cast<uint8_t>(auth));
        return qmi.Call(r);
    }
    static uint32_t Handle(const QmiMessage &reply) {
        const kxmodem::Tlv *t = reply.Find(0x01);
        return t && t->value.size() == 4 ? GetU32(t->value.data()) : 0;
    }
    static std::pair<uint16_t, uint16_t> Verbose(const QmiMessage &reply) {
        const kxmodem::Tlv *t = reply.Find(0x11);
        if (!t || t->value.size() != 4)
            return {0, 0};
        return {GetU16(t->value.data()), GetU16(t->value.data() + 2)};
    }
    uint16_t Stop(uint32_t handle, uint8_t cid = 0) {
        QmiMessage r = qmi.Request(kWds, cid ? cid : wds, 0x0021);
        r.AddU32(0x01, handle);
        return QmiClient::Error(qmi.Call(r));
    }
    uint8_t Status() {
        QmiMessage reply = qmi.Call(qmi.Request(kWds, wds, 0x0022));
        const kxmodem::Tlv *t = reply.Find(0x01);
        return t && t->value.size() == 1 ? t->value[0] : 0;
    }
    // The status and reconfiguration bytes of the next indication.
    std::pair<int, int> NextIndication() {
        QmiMessage ind;
        if (!qmi.NextIndication(&ind, 1000))
            return {-1, -1};
        EXPECT_EQ(kWds, ind.service);
        EXPECT_EQ(0x0022, ind.messageId);
        EXPECT_EQ(wds, ind.clientId);
        const kxmodem::Tlv *t = ind.Find(0x01);
        if (!t || t->value.size() != 2)
            return {-2, -2};
        return {t->value[0], t->value[1]};
    }

    TempDir dir;
    kxmodem::Options options;
    kxmodem::Modem modem;
    QmiClient qmi;
    uint8_t wds = 0, nas = 0;
};

Bytes Ping(uint32_t src, uint16_t seq) {
    Bytes p(28, 0);
    p[0] = 0x45;
    p[3] = 28;
    p[8] = 64;
    p[9] = 1;
    for (int i = 0; i < 4; ++i) {
        p[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        p[16 + i] = static_cast<uint8_t>(0x08080808 >> (24 - 8 * i));
    }
    uint16_t c = kxmodem::InternetChecksum(p.data(), 20);
    p[10] = static_cast<uint8_t>(c >> 8);
    p[11] = static_cast<uint8_t>(c);
    p[20] = 8;
    p[26] = static_cast<uint8_t>(seq >> 8);
    p[27] = static_cast<uint8_t>(seq);
    c = kxmodem::InternetChecksum(p.data() + 20, 8);
    p[22] = static_cast<uint8_t>(c >> 8);
    p[23] = static_cast<uint8_t>(c);
    return p;
}

long Elapsed(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

} // namespace

TEST_F(ModemTest, RepliesHaveTheLayoutsTheDriverAccepts) {
    Bytes raw;
    QmiMessage r = qmi.Request(kCtl, 0, 0x0022);
    r.AddU8(0x01, kWds);
    QmiMessage reply = qmi.Call(r, &raw);
    // CTL reply: QMUX flags 0x80, client 0, flags 0x01, result, then service and id.
    ASSERT_EQ(24u, raw.size());
    EXPECT_EQ(
        (Bytes{0x01, 0x17, 0x00, 0x80, 0x00, 0x00, 0x01, static_cast<uint8_t>(r.transactionId),
               0x22, 0x00, 0x0c, 0x00, 0x02, 0x04, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x01}),
        Bytes(raw.begin(), raw.end() - 1));
    EXPECT_NE(wds, raw.back()); // a new client of the same service

    qmi.Call(qmi.Request(kWds, wds, 0x0022), &raw);
    ASSERT_EQ(24u, raw.size());
    EXPECT_EQ(0x80, raw[3]);
    EXPECT_EQ(wds, raw[5]);
    EXPECT_EQ(0x02, raw[6]);
    EXPECT_EQ(0x01, raw.back()); // disconnected

    qmi.Call(qmi.Request(kWds, wds, 0x0023), &raw);
    ASSERT_EQ(39u, raw.size());
    EXPECT_EQ(384000u, GetU32(&raw[23]));
    EXPECT_EQ(7200000u, GetU32(&raw[35]));

    qmi.Call(qmi.Request(kNas, nas, 0x0020), &raw);
    ASSERT_EQ(25u, raw.size());
    EXPECT_EQ(static_cast<uint8_t>(-70), raw[23]);
    EXPECT_EQ(5, raw[24]);

    reply = Start();
    ASSERT_EQ(0, QmiClient::Error(reply));
    EXPECT_EQ(0x4B580001u, Handle(reply));
    EXPECT_EQ(27u, kxmodem::BuildFrame(reply).size());
}

TEST_F(ModemTest, ClientIdsAndTheErrorsAModuleGives) {
    QmiMessage r = qmi.Request(kCtl, 0, 0x0023);
    r.AddTlv(0x01, Bytes{kWds, 200});
    EXPECT_EQ(0x0007, QmiClient::Error(qmi.Call(r))); // never allocated
    r = qmi.Request(kCtl, 0, 0x0022);
    r.AddU8(0x01, 0x09);
    EXPECT_EQ(0x001F, QmiClient::Error(qmi.Call(r))); // service not offered (voice)
    r = qmi.Request(kCtl, 0, 0x0022);
    r.AddTlv(0x01, Bytes{1, 2});
    EXPECT_EQ(0x0001, QmiClient::Error(qmi.Call(r)));                            // wrong TLV size
    EXPECT_EQ(0x0011, QmiClient::Error(qmi.Call(qmi.Request(kCtl, 0, 0x0022)))); // missing
    EXPECT_EQ(0x0047, QmiClient::Error(qmi.Call(qmi.Request(kCtl, 0, 0x0026))));

    // A service request from an unknown client is answered with its own id.
    QmiMessage reply = qmi.Call(qmi.Request(kWds, 0x77, 0x0022));
    EXPECT_EQ(0x0007, QmiClient::Error(reply));
    EXPECT_EQ(0x77, reply.clientId);
    EXPECT_EQ(0x02, reply.flags);
    EXPECT_EQ(0x0007, QmiClient::Error(qmi.Call(qmi.Request(kNas, 0x99, 0x0020))));
    EXPECT_EQ(0x0047, QmiClient::Error(qmi.Call(qmi.Request(kWds, wds, 0x0099))));

    // Release, then the old id is refused.
    r = qmi.Request(kCtl, 0, 0x0023);
    r.AddTlv(0x01, Bytes{kNas, nas});
    reply = qmi.Call(r);
    EXPECT_EQ(0, QmiClient::Error(reply));
    EXPECT_EQ(0x0007, QmiClient::Error(qmi.Call(qmi.Request(kNas, nas, 0x0020))));
    r.transactionId = 99;
    EXPECT_EQ(0x0007, QmiClient::Error(qmi.Call(r))); // released twice

    // Version information lists CTL, WDS, DMS and NAS.
    reply = qmi.Call(qmi.Request(kCtl, 0, 0x0021));
    ASSERT_NE(nullptr, reply.Find(0x01));
    EXPECT_EQ(4, reply.Find(0x01)->value[0]);

    // Sync forgets the clients of the control point that asks, not others'.
    QmiClient other;
    ASSERT_TRUE(other.Connect(dir.path()));
    uint8_t othersWds = other.GetClientId(kWds);
    EXPECT_EQ(0, QmiClient::Error(qmi.Call(qmi.Request(kCtl, 0, 0x0027))));
    EXPECT_EQ(0x0007, QmiClient::Error(qmi.Call(qmi.Request(kWds, wds, 0x0022))));
    EXPECT_EQ(std::vector<uint8_t>{othersWds}, modem.State().wdsClients);
    EXPECT_EQ(0, QmiClient::Error(other.Call(other.Request(kWds, othersWds, 0x0022))));
}

TEST_F(ModemTest, BrokenFramesNeverStopTheModule) {
    // TLV area inconsistent but header readable: answered as malformed, same transaction.
    QmiMessage r = qmi.Request(kWds, wds, 0x0022);
    Bytes f = kxmodem::BuildFrame(r);
    f[11] = 4; // claims a TLV that is not there
    f.insert(f.end(), {0x01, 0x09, 0x00, 0x00});
    f[1] = static_cast<uint8_t>(f.size() - 1);
    ASSERT_TRUE(qmi.socket().Send(f));
    QmiMessage reply;
    ASSERT_TRUE(qmi.NextReply(&reply));
    EXPECT_EQ(0x0001, QmiClient::Error(reply));
    EXPECT_EQ(r.transactionId, reply.transactionId);

    // A frame that is not a request (module-side flags) gets no answer.
    QmiMessage notRequest = qmi.Request(kWds, wds, 0x0022);
    notRequest.flags = 0x02;
    ASSERT_TRUE(qmi.Send(notRequest));

    // Garbage of every size.
    std::mt19937 rng(11);
    for (int i = 0; i < 500; ++i) {
        Bytes g(1 + rng() % 64);
        for (auto &b : g)
            b = static_cast<uint8_t>(rng());
        if (i % 3 == 0)
            g[0] = 0x01;
        qmi.socket().Send(g);
    }
    // Drain whatever was answered, then the module still works.
    Bytes junk;
    while (qmi.socket().Recv(&junk, 200)) {
    }
    EXPECT_EQ(1, Status());
    auto counters = modem.State().counters;
    EXPECT_GT(counters.qmiMalformed, 0u);
    EXPECT_GE(counters.qmiIgnored, 1u);
}

TEST_F(ModemTest, SessionLifecycleWithIndicationsOnEveryChange) {
    EXPECT_EQ(1, Status());
    QmiMessage reply = Start();
    ASSERT_EQ(0, QmiClient::Error(reply));
    uint32_t handle = Handle(reply);
    EXPECT_EQ(std::make_pair(2, 0), NextIndication());
    EXPECT_EQ(2, Status());

    // Only the client that started the call can stop it, and only by its handle.
    uint8_t other = qmi.GetClientId(kWds);
    EXPECT_EQ(0x0009, Stop(handle, other));
    QmiMessage release = qmi.Request(kCtl, 0, 0x0023);
    release.AddTlv(0x01, Bytes{kWds, other});
    ASSERT_EQ(0, QmiClient::Error(qmi.Call(release)));
    EXPECT_EQ(0x0009, Stop(handle + 1000));
    EXPECT_EQ(std::make_pair(-1, -1), NextIndication()); // nothing changed

    ASSERT_EQ(0, Stop(handle));
    EXPECT_EQ(std::make_pair(1, 0), NextIndication());
    EXPECT_EQ(1, Status());
    EXPECT_EQ(0x0009, Stop(handle)); // already stopped

    // The module asks for reconfiguration.
    EXPECT_EQ("ok", modem.Control("reconfigure"));
    EXPECT_EQ(std::make_pair(1, 1), NextIndication());
}

TEST_F(ModemTest, StartIsCheckedAgainstTheConfiguredNetwork) {
    QmiMessage reply = Start("wrong.apn");
    EXPECT_EQ(0x000E, QmiClient::Error(reply));
    EXPECT_EQ((std::pair<uint16_t, uint16_t>(6, 27)), Verbose(reply));
    reply = Start("kxtel.internet", "kxuser", "nope");
    EXPECT_EQ(0x000E, QmiClient::Error(reply));
    EXPECT_EQ((std::pair<uint16_t, uint16_t>(6, 29)), Verbose(reply));
    reply = Start("kxtel.internet", nullptr, nullptr);
    EXPECT_EQ((std::pair<uint16_t, uint16_t>(6, 29)), Verbose(reply));
    EXPECT_TRUE(modem.State().sessions.empty());
    EXPECT_EQ(std::make_pair(-1, -1), NextIndication()); // refusals change nothing

    // Only PAP taken by the network: a CHAP-only preference fails, PAP works.
    EXPECT_EQ("ok", modem.Control("network auth=1"));
    EXPECT_EQ(0x000E, QmiClient::Error(Start("kxtel.internet", "kxuser", "kxpass", 2)));
    reply = Start("KXTEL.Internet", "kxuser", "kxpass", 1); // APN case does not matter
    ASSERT_EQ(0, QmiClient::Error(reply));
    EXPECT_EQ(0, Stop(Handle(reply)));

    // An open network takes any credentials, and no APN means the configured one.
    EXPECT_EQ("ok", modem.Control("network apn=open user= password="));
    QmiMessage r = qmi.Request(kWds, wds, 0x0020);
    r.AddU8(0x19, 4);
    reply = qmi.Call(r);
    ASSERT_EQ(0, QmiClient::Error(reply));
    EXPECT_EQ("open", modem.State().sessions.at(0).apn);
    r = qmi.Request(kWds, wds, 0x0020);
    r.AddU8(0x19, 6); // IPv6 only: not offered
    EXPECT_EQ(0x000E, QmiClient::Error(qmi.Call(r)));
    r = qmi.Request(kWds, wds, 0x0020);
    r.AddTlv(0x10, Bytes{1, 2, 3}); // DNS preference of 3 bytes
    EXPECT_EQ(0x0001, QmiClient::Error(qmi.Call(r)));
    r = qmi.Request(kWds, wds, 0x0020);
    r.AddU32(0x11, 0xE0000001); // multicast DNS preference
    EXPECT_EQ(0x0030, QmiClient::Error(qmi.Call(r)));
    r = qmi.Request(kWds, wds, 0x0020);
    r.AddTlv(0x14, std::string(101, 'a'));
    EXPECT_EQ(0x0013, QmiClient::Error(qmi.Call(r)));
    // Both channels taken: no third call.
    EXPECT_EQ(0, QmiClient::Error(Start("open")));
    EXPECT_EQ(0x000E, QmiClient::Error(Start("open")));
}

TEST_F(ModemTest, RadioAndRegistrationGovernPacketService) {
    ASSERT_EQ(0, QmiClient::Error(Start()));
    EXPECT_EQ(std::make_pair(2, 0), NextIndication());
    EXPECT_EQ("ok", modem.Control("registration searching"));
    EXPECT_EQ(std::make_pair(1, 0), NextIndication()); // the network dropped the call
    EXPECT_EQ(0x000E, QmiClient::Error(Start()));
    EXPECT_EQ("ok", modem.Control("registration roaming"));
    ASSERT_EQ(0, QmiClient::Error(Start()));
    EXPECT_EQ(std::make_pair(2, 0), NextIndication());
    EXPECT_EQ("ok", modem.Control("radio off"));
    EXPECT_EQ(std::make_pair(1, 0), NextIndication());
    EXPECT_EQ(0x000D, QmiClient::Error(qmi.Call(qmi.Request(kNas, nas, 0x0020))));
    EXPECT_EQ("ok", modem.Control("radio on"));
    EXPECT_EQ("ok", modem.Control("signal -95 4"));
    QmiMessage reply = qmi.Call(qmi.Request(kNas, nas, 0x0020));
    ASSERT_NE(nullptr, reply.Find(0x01));
    EXPECT_EQ((Bytes{static_cast<uint8_t>(-95), 4}), reply.Find(0x01)->value);
}

TEST_F(ModemTest, AbortEndsAStartStillComingUp) {
    EXPECT_EQ("ok", modem.Control("connect-delay 400"));
    QmiMessage start = qmi.Request(kWds, wds, 0x0020);
    start.AddTlv(0x17, std::string("kxuser"));
    start.AddTlv(0x18, std::string("kxpass"));
    ASSERT_TRUE(qmi.Send(start));
    EXPECT_EQ(std::make_pair(4, 0), NextIndication()); // authenticating
    EXPECT_EQ(4, Status());
    QmiMessage abort = qmi.Request(kWds, wds, 0x0002);
    abort.AddU16(0x01, start.transactionId);
    ASSERT_TRUE(qmi.Send(abort));
    QmiMessage first, second;
    ASSERT_TRUE(qmi.NextReply(&first));
    ASSERT_TRUE(qmi.NextReply(&second));
    EXPECT_EQ(start.transactionId, first.transactionId);
    EXPECT_EQ(0x0004, QmiClient::Error(first)); // aborted
    EXPECT_EQ(abort.transactionId, second.transactionId);
    EXPECT_EQ(0, QmiClient::Error(second));
    EXPECT_EQ(std::make_pair(1, 0), NextIndication());
    // Nothing comes when the delay would have ended.
    QmiMessage late;
    EXPECT_FALSE(qmi.NextReply(&late, nullptr, 600));
    // Aborting what is not in progress.
    abort = qmi.Request(kWds, wds, 0x0002);
    abort.AddU16(0x01, start.transactionId);
    EXPECT_EQ(0x0016, QmiClient::Error(qmi.Call(abort)));

    // A delayed start completes; releasing its client ends the call.
    EXPECT_EQ("ok", modem.Control("connect-delay 50"));
    auto t0 = Clock::now();
    QmiMessage reply = Start();
    EXPECT_GE(Elapsed(t0), 45);
    ASSERT_EQ(0, QmiClient::Error(reply));
    EXPECT_EQ(1u, modem.State().sessions.size());
    QmiMessage rel = qmi.Request(kCtl, 0, 0x0023);
    rel.AddTlv(0x01, Bytes{kWds, wds});
    EXPECT_EQ(0, QmiClient::Error(qmi.Call(rel)));
    EXPECT_TRUE(modem.State().sessions.empty());
}

TEST_F(ModemTest, DataPortsEchoForTheirOwnSessionOnly) {
    Socket kxn1, kxn2;
    ASSERT_TRUE(kxn2.Connect(dir.path() + "/KXN2"));
    QmiMessage reply = Start();
    ASSERT_EQ(0, QmiClient::Error(reply));
    ASSERT_EQ(1u, modem.State().sessions.size());
    EXPECT_EQ(1, modem.State().sessions[0].channel); // the port the host opened
    EXPECT_EQ("10.64.1.2", modem.State().sessions[0].address);

    Bytes echo;
    ASSERT_TRUE(kxn2.Send(Ping(kxmodem::SessionAddress(1), 1)));
    ASSERT_TRUE(kxn2.Recv(&echo));
    ASSERT_EQ(28u, echo.size());
    EXPECT_EQ(0, echo[20]);
    EXPECT_EQ(0, kxmodem::InternetChecksum(echo.data(), 20));
    EXPECT_EQ(0, kxmodem::InternetChecksum(echo.data() + 20, 8));

    ASSERT_TRUE(kxn1.Connect(dir.path() + "/KXN1"));
    ASSERT_TRUE(kxn1.Send(Ping(kxmodem::SessionAddress(0), 2))); // channel 0 not up
    EXPECT_FALSE(kxn1.Recv(&echo, 200));
    ASSERT_TRUE(kxn2.Send(Ping(kxmodem::SessionAddress(0), 3))); // wrong source
    EXPECT_FALSE(kxn2.Recv(&echo, 200));

    // The second call goes to KXN1, the other open port.
    reply = Start();
    ASSERT_EQ(0, QmiClient::Error(reply));
    ASSERT_TRUE(kxn1.Send(Ping(kxmodem::SessionAddress(0), 4)));
    ASSERT_TRUE(kxn1.Recv(&echo));

    EXPECT_EQ("ok 1", modem.Control("disconnect 1"));
    ASSERT_TRUE(kxn2.Send(Ping(kxmodem::SessionAddress(1), 5)));
    EXPECT_FALSE(kxn2.Recv(&echo, 200));
    auto c = modem.State().counters;
    EXPECT_EQ(5u, c.dataIn);
    EXPECT_EQ(2u, c.dataOut);
    EXPECT_EQ(2u, c.dataDroppedNoSession);
    EXPECT_EQ(1u, c.dataDroppedInvalid);
}

TEST_F(ModemTest, AtSessionsGetRegistrationCodesTheyAskedFor) {
    Socket a, b;
    ASSERT_TRUE(a.Connect(dir.path() + "/KXA1"));
    ASSERT_TRUE(b.Connect(dir.path() + "/KXA1"));
    a.Send("ATE0\r");
    EXPECT_EQ("ATE0\r\r\nOK\r\n", a.RecvText("OK\r\n"));
    a.Send("AT+CREG=1\r");
    EXPECT_EQ("\r\nOK\r\n", a.RecvText("OK\r\n"));
    b.Send("ATE0;+COPS=3,0;+COPS?\r");
    EXPECT_EQ("ATE0;+COPS=3,0;+COPS?\r\r\n+COPS: 0,0,\"KxTel Mobile\",2\r\n\r\nOK\r\n",
              b.RecvText("OK\r\n"));

    EXPECT_EQ("ok", modem.Control("operator \"Other Net\" ON 00102"));
    EXPECT_EQ("ok", modem.Control("registration roaming"));
    EXPECT_EQ("\r\n+CREG: 5\r\n", a.RecvText("\r\n+CREG: 5\r\n"));
    b.Send("AT+COPS?\r");
    EXPECT_EQ("\r\n+COPS: 0,0,\"Other Net\",2\r\n\r\nOK\r\n", b.RecvText("OK\r\n"));

    // The radio switched off from one session: the other sees registration go.
    ASSERT_EQ(0, QmiClient::Error(Start()));
    EXPECT_EQ(std::make_pair(2, 0), NextIndication());
    b.Send("AT+CFUN=0\r");
    EXPECT_EQ("\r\nOK\r\n", b.RecvText("OK\r\n"));
    EXPECT_EQ("\r\n+CREG: 0\r\n", a.RecvText("\r\n+CREG: 0\r\n"));
    EXPECT_EQ(std::make_pair(1, 0), NextIndication());
    Bytes none;
    EXPECT_FALSE(b.Recv(&none, 200)); // b never asked for +CREG
    // Unchanged registration sends nothing.
    EXPECT_EQ("ok", modem.Control("registration home")); // radio still off
    EXPECT_FALSE(a.Recv(&none, 200));
    a.Send("AT+CFUN=1\r");
    EXPECT_EQ("\r\n+CREG: 1\r\n\r\nOK\r\n", a.RecvText("OK\r\n"));
}

TEST_F(ModemTest, ReplyFaults) {
    EXPECT_EQ("ok", modem.Control("fault reject 0x0E service=wds msg=0x22"));
    EXPECT_EQ(0x000E, QmiClient::Error(qmi.Call(qmi.Request(kWds, wds, 0x0022))));
    EXPECT_EQ(1, Status()); // used up

    EXPECT_EQ("ok", modem.Control("fault drop service=wds"));
    QmiMessage reply;
    ASSERT_TRUE(qmi.Send(qmi.Request(kWds, wds, 0x0022)));
    EXPECT_FALSE(qmi.NextReply(&reply, nullptr, 300));
    EXPECT_EQ(1, Status());

    EXPECT_EQ("ok", modem.Control("fault duplicate"));
    QmiMessage r = qmi.Request(kWds, wds, 0x0023);
    QmiMessage one = qmi.Call(r), two;
    ASSERT_TRUE(qmi.NextReply(&two));
    EXPECT_EQ(r.transactionId, one.transactionId);
    EXPECT_EQ(r.transactionId, two.transactionId);

    Bytes raw;
    EXPECT_EQ("ok", modem.Control("fault malformed truncate"));
    qmi.Send(qmi.Request(kWds, wds, 0x0022));
    ASSERT_TRUE(qmi.socket().Recv(&raw));
    EXPECT_EQ(22u, raw.size()); // two bytes short of a whole status reply
    EXPECT_EQ(21, raw[1]);
    EXPECT_EQ("ok", modem.Control("fault malformed flags"));
    qmi.Send(qmi.Request(kWds, wds, 0x0022));
    ASSERT_TRUE(qmi.socket().Recv(&raw));
    EXPECT_EQ(0x00, raw[6]);
}

TEST_F(ModemTest, DelayKeepsOrderLateDoesNot) {
    QmiMessage a = qmi.Request(kWds, wds, 0x0022), b = qmi.Request(kWds, wds, 0x0023), first,
               second;
    EXPECT_EQ("ok", modem.Control("fault delay 300 service=wds msg=0x22"));
    auto t0 = Clock::now();
    qmi.Send(a);
    qmi.Send(b);
    ASSERT_TRUE(qmi.NextReply(&first));
    ASSERT_TRUE(qmi.NextReply(&second));
    EXPECT_GE(Elapsed(t0), 290);
    EXPECT_EQ(a.transactionId, first.transactionId);
    EXPECT_EQ(b.transactionId, second.transactionId);

    a = qmi.Request(kWds, wds, 0x0022);
    b = qmi.Request(kWds, wds, 0x0023);
    EXPECT_EQ("ok", modem.Control("fault late 300 service=wds msg=0x22"));
    t0 = Clock::now();
    qmi.Send(a);
    qmi.Send(b);
    ASSERT_TRUE(qmi.NextReply(&first));
    EXPECT_LT(Elapsed(t0), 250);
    ASSERT_TRUE(qmi.NextReply(&second));
    EXPECT_GE(Elapsed(t0), 290);
    EXPECT_EQ(b.transactionId, first.transactionId);
    EXPECT_EQ(a.transactionId, second.transactionId);
}

TEST_F(ModemTest, VanishedPortComesBackAndClientsSurvive) {
    const std::string kxc1 = dir.path() + "/KXC1";
    struct stat st;
    ASSERT_EQ(0, stat(kxc1.c_str(), &st));
    EXPECT_EQ("ok", modem.Control("vanish KXC1 300"));
    EXPECT_NE(0, stat(kxc1.c_str(), &st));
    EXPECT_TRUE(qmi.socket().ClosedByPeer());
    QmiClient again;
    EXPECT_FALSE(again.Connect(dir.path()));
    auto t0 = Clock::now();
    while (!again.Connect(dir.path()) && Elapsed(t0) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(Elapsed(t0), 250);
    // The module kept the client ids; the new connection inherits their indications.
    QmiMessage r = again.Request(kWds, wds, 0x0020);
    r.AddTlv(0x17, std::string("kxuser"));
    r.AddTlv(0x18, std::string("kxpass"));
    EXPECT_EQ(0, QmiClient::Error(again.Call(r)));
    QmiMessage ind;
    EXPECT_TRUE(again.NextIndication(&ind));

    // A vanished data port drops its connection; the session itself stays up.
    Socket data;
    ASSERT_TRUE(data.Connect(dir.path() + "/KXN1"));
    EXPECT_EQ("ok", modem.Control("vanish all"));
    EXPECT_TRUE(data.ClosedByPeer());
    EXPECT_TRUE(modem.State().portsPresent.empty());
    EXPECT_EQ(1u, modem.State().sessions.size());
    EXPECT_EQ("ok", modem.Control("restore all"));
    EXPECT_EQ(4u, modem.State().portsPresent.size());
    EXPECT_EQ("error: unknown port 'KXZ9'", modem.Control("vanish KXZ9"));
}

// A restart is what usually makes a real module's ports vanish: it comes
// back knowing no client, so ids that its clients never released (lost with
// the old connection) are free again, and the old ids are refused.
TEST_F(ModemTest, ResetForgetsEveryClientAndSession) {
    ASSERT_EQ(0, QmiClient::Error(Start()));
    // Hand out every WDS id (32 per service, one is the fixture's).
    std::vector<uint8_t> ids{wds};
    for (uint8_t id; (id = qmi.GetClientId(kWds)) != 0;)
        ids.push_back(id);
    EXPECT_EQ(32u, ids.size());
    QmiMessage more = qmi.Request(kCtl, 0, 0x0022);
    more.AddU8(0x01, kWds);
    EXPECT_EQ(0x0005, QmiClient::Error(qmi.Call(more))); // client ids exhausted
    // A vanish keeps them all.
    EXPECT_EQ("ok", modem.Control("vanish all"));
    EXPECT_EQ(32u, modem.State().wdsClients.size());
    EXPECT_EQ("ok", modem.Control("restore all"));

    ASSERT_TRUE(qmi.Connect(dir.path()));
    EXPECT_EQ("ok", modem.Control("reset 300"));
    EXPECT_TRUE(qmi.socket().ClosedByPeer());
    kxmodem::Snapshot after = modem.State();
    EXPECT_TRUE(after.portsPresent.empty());
    EXPECT_TRUE(after.wdsClients.empty());
    EXPECT_TRUE(after.nasClients.empty());
    EXPECT_TRUE(after.sessions.empty());

    QmiClient again;
    auto t0 = Clock::now();
    while (!again.Connect(dir.path()) && Elapsed(t0) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(Elapsed(t0), 250);
    EXPECT_EQ(4u, modem.State().portsPresent.size());
    // The old ids name nobody now; new clients get ids again.
    EXPECT_EQ(0x0007, QmiClient::Error(again.Call(again.Request(kWds, wds, 0x0022))));
    EXPECT_EQ(0x0007, QmiClient::Error(again.Call(again.Request(kNas, nas, 0x0020))));
    uint8_t fresh = again.GetClientId(kWds);
    EXPECT_NE(0, fresh);
    QmiMessage status = again.Call(again.Request(kWds, fresh, 0x0022));
    const kxmodem::Tlv *t = status.Find(0x01);
    ASSERT_TRUE(t && t->value.size() == 1);
    EXPECT_EQ(1, t->value[0]); // no call survived the restart

    // Without a time the ports stay away until restored.
    EXPECT_EQ("ok", modem.Control("reset"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(modem.State().portsPresent.empty());
    EXPECT_TRUE(modem.State().wdsClients.empty());
    EXPECT_EQ("ok", modem.Control("restore all"));
    EXPECT_EQ("error: reset takes milliseconds", modem.Control("reset soon"));
}

TEST(ModemControls, ScriptAtStartAndControlSocket) {
    TempDir dir;
    std::string script = dir.path() + "/setup.kxs";
    {
        std::ofstream out(script);
        out << "# start as a roaming module on another network\n"
            << "operator \"Far Away Tel\" FAT 99999\n"
            << "registration roaming\n"
            << "sleep 200\n"
            << "radio off\n";
    }
    kxmodem::Modem modem;
    kxmodem::Options options;
    options.scriptFile = script;
    std::string error;
    ASSERT_TRUE(modem.Start(dir.path() + "/dev", options, &error)) << error;
    EXPECT_EQ(5, modem.State().registration); // applied before Start returned
    Socket control;
    ASSERT_TRUE(control.Connect(dir.path() + "/dev/kxmodem.ctl", SOCK_STREAM));
    control.Send("status\nbogus command\n");
    std::string answers = control.RecvText("error");
    EXPECT_NE(std::string::npos,
              answers.find("ok radio=on registration=5 operator=\"Far Away Tel\""))
        << answers;
    EXPECT_NE(std::string::npos, answers.find("\nerror: unknown")) << answers;
    auto t0 = Clock::now();
    while (modem.State().radioOn && Elapsed(t0) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(modem.State().radioOn);
    EXPECT_GE(Elapsed(t0), 100);
    modem.Stop();
    struct stat st;
    EXPECT_NE(0, stat((dir.path() + "/dev/KXC1").c_str(), &st)); // sockets removed

    // A script with a bad line refuses to start, naming the line.
    {
        std::ofstream out(script);
        out << "radio maybe\n";
    }
    EXPECT_FALSE(modem.Start(dir.path() + "/dev", options, &error));
    EXPECT_NE(std::string::npos, error.find("setup.kxs:1")) << error;
}
