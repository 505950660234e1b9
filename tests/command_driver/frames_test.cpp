// Byte-exact building and judging of control frames, without any I/O.
#include "control_frames.h"
#include "fake_module.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using kxtest::Bytes;
using kxtest::ReplyFrame;

namespace {

Bytes Built(DWORD length, const BYTE *frame) {
    return Bytes(frame, frame + length);
}

ReplyVerdict Judge(const Bytes &reply, Bytes *stored = nullptr) {
    BYTE buffer[128] = {};
    std::copy(reply.begin(), reply.end(), buffer);
    const BYTE *data = nullptr;
    DWORD size = 0;
    ReplyVerdict verdict = CheckReply(buffer, &data, &size);
    if (stored && verdict == ReplyAccepted)
        *stored = Bytes(data, data + size);
    return verdict;
}

// A heap block of exactly the frame's length, so that the address sanitizer
// build catches a look at bytes that were not received.
std::unique_ptr<BYTE[]> Exactly(const std::vector<BYTE> &bytes) {
    std::unique_ptr<BYTE[]> block(new BYTE[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), block.get());
    return block;
}

} // namespace

TEST(ControlFrames, FixedRequestLayouts) {
    BYTE f[128];
    EXPECT_EQ(Built(BuildGetClientId(f, 5, 3), f),
              (Bytes{0x01, 0x0F, 0, 0, 0, 0, 0x00, 5, 0x22, 0, 4, 0, 0x01, 0x01, 0, 3}));
    EXPECT_EQ(Built(BuildReleaseClientId(f, 63, 1, 0x42), f),
              (Bytes{0x01, 0x10, 0, 0, 0, 0, 0x00, 63, 0x23, 0, 5, 0, 0x01, 0x02, 0, 1, 0x42}));
    EXPECT_EQ(Built(BuildGetSignalStrength(f, 0x0102, 7), f),
              (Bytes{0x01, 0x0C, 0, 0, 3, 7, 0x00, 0x02, 0x01, 0x20, 0, 0, 0}));
    EXPECT_EQ(
        Built(BuildAbort(f, 2, 5, 0x0A0B), f),
        (Bytes{0x01, 0x11, 0, 0, 1, 5, 0x00, 2, 0, 0x02, 0, 5, 0, 0x01, 0x02, 0, 0x0B, 0x0A}));
    EXPECT_EQ(Built(BuildStopNetworkInterface(f, 3, 5, 0x12345678), f),
              (Bytes{0x01, 0x13, 0, 0,    1,    5, 0x00, 3,    0,    0x21,
                     0,    7,    0, 0x01, 0x04, 0, 0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(Built(BuildGetPacketServiceStatus(f, 4, 5), f),
              (Bytes{0x01, 0x0C, 0, 0, 1, 5, 0x00, 4, 0, 0x22, 0, 0, 0}));
    EXPECT_EQ(Built(BuildGetCurrentChannelRate(f, 4, 5), f),
              (Bytes{0x01, 0x0C, 0, 0, 1, 5, 0x00, 4, 0, 0x23, 0, 0, 0}));
}

TEST(ControlFrames, StartNetworkInterfaceTlvs) {
    BYTE f[128];
    // No parameters: the bare 13-byte request.
    EXPECT_EQ(Built(BuildStartNetworkInterface(f, 1, 5, nullptr), f),
              (Bytes{0x01, 0x0C, 0, 0, 1, 5, 0x00, 1, 0, 0x20, 0, 0, 0}));

    // Every field, in the fixed order; an empty user name is sent empty.
    LogonParameters all = {"ab", "", "pw", 0x04030201, 0x08070605, 0x03};
    EXPECT_EQ(Built(BuildStartNetworkInterface(f, 1, 5, &all), f),
              (Bytes{0x01, 0x2B, 0, 0,   1,   5, 0x00, 1, 0, 0x20, 0, 0x1F, 0, // header
                     0x14, 2,    0, 'a', 'b',                                  // access point
                     0x17, 0,    0,                                            // user name
                     0x18, 2,    0, 'p', 'w',                                  // password
                     0x10, 4,    0, 1,   2,   3, 4,                            // primary DNS
                     0x11, 4,    0, 5,   6,   7, 8,                            // secondary DNS
                     0x16, 1,    0, 3}));                                      // authentication

    // Null strings and zero values are left out.
    LogonParameters apnOnly = {"x", nullptr, nullptr, 0, 0, 0};
    EXPECT_EQ(Built(BuildStartNetworkInterface(f, 1, 5, &apnOnly), f),
              (Bytes{0x01, 0x10, 0, 0, 1, 5, 0x00, 1, 0, 0x20, 0, 4, 0, 0x14, 1, 0, 'x'}));
}

TEST(ControlFrames, StartNetworkInterfaceNeverExceeds127Bytes) {
    BYTE f[128];
    std::string name(111, 'a');
    LogonParameters p = {name.c_str(), nullptr, nullptr, 0, 0, 0};
    EXPECT_EQ(BuildStartNetworkInterface(f, 1, 5, &p), 127u);
    EXPECT_EQ(f[1], 126);
    EXPECT_EQ(f[11], 114);

    name.push_back('a'); // 112
    p.accessPointName = name.c_str();
    EXPECT_EQ(BuildStartNetworkInterface(f, 1, 5, &p), 0u);

    // With a password of 3 bytes, 105 bytes of name still fit, 106 do not.
    std::string shorter(105, 'b');
    LogonParameters both = {shorter.c_str(), nullptr, "pwd", 0, 0, 0};
    EXPECT_EQ(BuildStartNetworkInterface(f, 1, 5, &both), 127u);
    shorter.push_back('b');
    both.accessPointName = shorter.c_str();
    EXPECT_EQ(BuildStartNetworkInterface(f, 1, 5, &both), 0u);

    // A name far longer than a frame is refused without reading it all.
    std::string huge(100000, 'c');
    LogonParameters big = {huge.c_str(), nullptr, nullptr, 0, 0, 0};
    EXPECT_EQ(BuildStartNetworkInterface(f, 1, 5, &big), 0u);
}

TEST(ControlFrames, AcceptedRepliesStoreTheirPayload) {
    Bytes stored;
    Bytes clientId = {0x03, 0x42}; // the service byte is not compared
    EXPECT_EQ(Judge(ReplyFrame(0, 0, 1, 0x22, 0, 0, &clientId), &stored), ReplyAccepted);
    EXPECT_EQ(stored, Bytes{0x42});

    EXPECT_EQ(Judge(ReplyFrame(0, 0, 1, 0x23), &stored), ReplyAccepted);
    EXPECT_TRUE(stored.empty());
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x02), &stored), ReplyAccepted);
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x21), &stored), ReplyAccepted);

    Bytes handle = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x20, 0, 0, &handle), &stored), ReplyAccepted);
    EXPECT_EQ(stored, handle);

    Bytes status = {0x02};
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x22, 0, 0, &status), &stored), ReplyAccepted);
    EXPECT_EQ(stored, status);

    Bytes rates(16);
    for (int i = 0; i < 16; ++i)
        rates[i] = uint8_t(i + 1);
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x23, 0, 0, &rates), &stored), ReplyAccepted);
    EXPECT_EQ(stored, rates);

    Bytes signal = {0xBA, 0x05};
    EXPECT_EQ(Judge(ReplyFrame(3, 7, 1, 0x20, 0, 0, &signal), &stored), ReplyAccepted);
    EXPECT_EQ(stored, signal);

    // The error code is never examined.
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x21, 0, 0x1234)), ReplyAccepted);
}

TEST(ControlFrames, RejectedReplies) {
    Bytes status = {0x02};
    Bytes good = ReplyFrame(1, 5, 1, 0x22, 0, 0, &status);
    ASSERT_EQ(good.size(), 24u);

    // Not a response: control flags of a request or an indication; CTL
    // responses carry 0x01 and others 0x02.
    Bytes flags = good;
    flags[6] = 0x04;
    EXPECT_EQ(Judge(flags), ReplyNotResponse);
    flags[6] = 0x01;
    EXPECT_EQ(Judge(flags), ReplyNotResponse);
    Bytes ctl = ReplyFrame(0, 0, 1, 0x23);
    ctl[6] = 0x02;
    EXPECT_EQ(Judge(ctl), ReplyNotResponse);

    // Failure result code.
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x22, 1, 0, &status)), ReplyRejected);
    // Result TLV missing or malformed.
    Bytes wrongType = good;
    wrongType[13] = 0x03;
    EXPECT_EQ(Judge(wrongType), ReplyRejected);
    Bytes wrongLength = good;
    wrongLength[14] = 0x05;
    EXPECT_EQ(Judge(wrongLength), ReplyRejected);
    // Frame shorter than the row's minimum (payload missing).
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x22)), ReplyRejected);
    // Frame length that cannot hold the result TLV.
    Bytes shortFrame = good;
    shortFrame[1] = 18; // frame length 19 < 20
    EXPECT_EQ(Judge(shortFrame), ReplyRejected);
    // TLV length below the minimum.
    Bytes tlvShort = good;
    tlvShort[11] = 10;
    EXPECT_EQ(Judge(tlvShort), ReplyRejected);
    // Payload TLV of the wrong type or length.
    Bytes payloadType = good;
    payloadType[20] = 0x10;
    EXPECT_EQ(Judge(payloadType), ReplyRejected);
    Bytes two = {0x02, 0x00};
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x22, 0, 0, &two)), ReplyRejected);
    // Unknown message or service.
    EXPECT_EQ(Judge(ReplyFrame(1, 5, 1, 0x24, 0, 0, &status)), ReplyRejected);
    EXPECT_EQ(Judge(ReplyFrame(2, 5, 1, 0x22, 0, 0, &status)), ReplyRejected);
}

TEST(ControlFrames, StatusIndication) {
    BYTE buffer[128] = {};
    Bytes indication = kxtest::StatusIndication(0x02, 0x05);
    std::copy(indication.begin(), indication.end(), buffer);
    BYTE status = 0, reconfigure = 0;
    ASSERT_TRUE(CheckStatusIndication(buffer, &status, &reconfigure));
    EXPECT_EQ(status, 0x02);
    EXPECT_EQ(reconfigure, 0x05);

    // A response to the same message is not an indication.
    buffer[6] = 0x02;
    EXPECT_FALSE(CheckStatusIndication(buffer, &status, &reconfigure));
    buffer[6] = 0x04;
    buffer[15] = 0x03; // first TLV of length 3
    EXPECT_FALSE(CheckStatusIndication(buffer, &status, &reconfigure));
}

// Received frames are judged on their own bytes only: every check is given a
// block of exactly the frame's length (the reader guarantees at least 9
// bytes, see RouteControlMessage); a status indication shorter than 11 bytes
// has no message id to look at.
TEST(ControlFrames, ShortFramesAreJudgedWithoutReadingPastTheirEnd) {
    // WDS frames with indication and response flags, and CTL responses, of
    // every length from 9 to 19 bytes; the QMUX length says exactly that.
    for (BYTE service : {BYTE(0), BYTE(1), BYTE(3)}) {
        for (BYTE flags : {BYTE(0x01), BYTE(0x02), BYTE(0x04)}) {
            for (size_t length = 9; length < 20; ++length) {
                std::vector<BYTE> f(length, 0x22);
                f[0] = 0x01;
                f[1] = BYTE(length - 1);
                f[2] = 0;
                f[4] = service;
                f[6] = flags;
                auto frame = Exactly(f);
                BYTE status = 0, reconfigure = 0;
                EXPECT_FALSE(CheckStatusIndication(frame.get(), &status, &reconfigure))
                    << "length " << length;
                const BYTE *stored = nullptr;
                DWORD size = 0;
                EXPECT_NE(CheckReply(frame.get(), &stored, &size), ReplyAccepted)
                    << "length " << length;
            }
        }
    }
}

TEST(ControlFrames, ShortestStatusIndicationIsAccepted) {
    std::vector<BYTE> f = {0x01, 17,   0,    0x80, 0x01, 0x01, 0x04, 0x00, 0x00,
                           0x22, 0x00, 0x05, 0x00, 0x01, 0x02, 0x00, 0x02, 0x01};
    auto frame = Exactly(f);
    BYTE status = 0, reconfigure = 0;
    ASSERT_TRUE(CheckStatusIndication(frame.get(), &status, &reconfigure));
    EXPECT_EQ(status, 2);
    EXPECT_EQ(reconfigure, 1);
}
