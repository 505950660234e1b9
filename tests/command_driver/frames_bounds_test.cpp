// Received frames are judged on their own bytes only: every check below is
// given a heap block of exactly the frame's length (the reader guarantees at
// least 9 bytes, see RouteControlMessage), so that the address sanitizer
// build catches a look at bytes that were not received. Found by fuzzing
// (fuzz/kxcmd_route_fuzz.cpp): the status-indication check read the message
// id of frames shorter than 11 bytes.
#include "control_frames.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

std::unique_ptr<BYTE[]> Exactly(const std::vector<BYTE> &bytes) {
    std::unique_ptr<BYTE[]> block(new BYTE[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), block.get());
    return block;
}

TEST(FrameBounds, ShortFramesAreJudgedWithoutReadingPastTheirEnd) {
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

TEST(FrameBounds, ShortestStatusIndicationIsAccepted) {
    std::vector<BYTE> f = {0x01, 17,   0,    0x80, 0x01, 0x01, 0x04, 0x00, 0x00,
                           0x22, 0x00, 0x05, 0x00, 0x01, 0x02, 0x00, 0x02, 0x01};
    auto frame = Exactly(f);
    BYTE status = 0, reconfigure = 0;
    ASSERT_TRUE(CheckStatusIndication(frame.get(), &status, &reconfigure));
    EXPECT_EQ(status, 2);
    EXPECT_EQ(reconfigure, 1);
}

} // namespace
