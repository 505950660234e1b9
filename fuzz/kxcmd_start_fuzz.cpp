// Fuzz target: KxCmdApi's building of the Start Network Interface request
// from any logon parameters (control_frames.cpp linked in): strings of any
// length and bytes, absent or empty, any DNS preferences and authentication.
//
// Checks:
//   - the request is built in a buffer of exactly 128 bytes and never
//     exceeds 127; parameters that do not fit give 0;
//   - a request that fits is exactly the frame the TLV rules give (header,
//     then 0x14, 0x17, 0x18, 0x10, 0x11, 0x16 under their conditions), and
//     the simulated module's parser reads it as a well-formed request with
//     those TLVs;
//   - the strings are read no further than their terminator.
#include <windows.h>

#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "command_driver.h"
#include "control_frames.h"
#include "fuzz_report.h"
#include "qmux.h"

namespace {

[[noreturn]] void Fail(const char *what) {
    kxfuzz::Fail("kxcmd_start: %s", what);
}

void Put16(std::vector<BYTE> &f, size_t at, unsigned v) {
    f[at] = BYTE(v);
    f[at + 1] = BYTE(v >> 8);
}

void Tlv(std::vector<BYTE> &f, BYTE type, const void *value, size_t size) {
    f.push_back(type);
    f.push_back(BYTE(size));
    f.push_back(BYTE(size >> 8));
    const BYTE *v = static_cast<const BYTE *>(value);
    f.insert(f.end(), v, v + size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t pos = 0;
    auto u8 = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
    auto u32 = [&]() -> uint32_t {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(u8()) << (8 * i);
        return v;
    };
    uint8_t shape = u8();
    WORD transactionId = WORD(u8() | (u8() << 8));
    BYTE client = u8();
    // Each string in a heap block of exactly its bytes and terminator.
    std::unique_ptr<char[]> strings[3];
    std::string texts[3];
    for (int i = 0; i < 3; ++i) {
        if (!(shape & (1 << i)))
            continue;
        size_t length = u8();
        if (shape & 0x40)
            length += u8(); // long strings now and then
        for (size_t k = 0; k < length && pos < size; ++k) {
            char c = char(data[pos++]);
            texts[i] += c ? c : 'z';
        }
        strings[i].reset(new char[texts[i].size() + 1]);
        memcpy(strings[i].get(), texts[i].c_str(), texts[i].size() + 1);
    }
    LogonParameters p;
    p.accessPointName = strings[0].get();
    p.userName = strings[1].get();
    p.password = strings[2].get();
    p.primaryDns = (shape & 8) ? u32() : 0;
    p.secondaryDns = (shape & 16) ? u32() : 0;
    p.authentication = (shape & 32) ? u8() : 0;
    bool none = (shape & 0x80) != 0;

    std::unique_ptr<BYTE[]> frame(new BYTE[FrameBufferSize]);
    DWORD length = BuildStartNetworkInterface(frame.get(), transactionId, client, none ? NULL : &p);

    // The frame the rules give.
    std::vector<BYTE> want = {
        0x01, 0,    0, 0x00, 0x01, client, 0x00, BYTE(transactionId), BYTE(transactionId >> 8),
        0x20, 0x00, 0, 0};
    if (!none) {
        for (int i = 0; i < 3; ++i) {
            static const BYTE kTypes[] = {0x14, 0x17, 0x18};
            if (strings[i])
                Tlv(want, kTypes[i], texts[i].data(), texts[i].size());
        }
        BYTE b[4];
        if (p.primaryDns) {
            for (int i = 0; i < 4; ++i)
                b[i] = BYTE(p.primaryDns >> (8 * i));
            Tlv(want, 0x10, b, 4);
        }
        if (p.secondaryDns) {
            for (int i = 0; i < 4; ++i)
                b[i] = BYTE(p.secondaryDns >> (8 * i));
            Tlv(want, 0x11, b, 4);
        }
        if (p.authentication)
            Tlv(want, 0x16, &p.authentication, 1);
    }
    Put16(want, 1, unsigned(want.size() - 1));
    Put16(want, 11, unsigned(want.size() - 13));

    if (want.size() > MaxRequestLength) {
        if (length != 0)
            Fail("a request longer than 127 bytes was built");
        return 0;
    }
    if (length != want.size())
        Fail("the request's length is not the one the TLV rules give");
    if (memcmp(frame.get(), want.data(), want.size()) != 0)
        Fail("the request's bytes are not the ones the TLV rules give");

    kxmodem::QmiMessage m;
    if (kxmodem::ParseFrame(frame.get(), length, &m) != kxmodem::ParseStatus::kOk)
        Fail("the module cannot parse the request");
    if (m.service != 1 || m.messageId != 0x20 || m.flags != 0 || m.transactionId != transactionId ||
        m.clientId != client)
        Fail("the module reads another header than was built");
    if (FrameLength(frame.get()) != length || FrameTransactionId(frame.get()) != transactionId ||
        FrameMessageId(frame.get()) != MessageStartNetworkInterface)
        Fail("the driver's own header readers disagree with the request");
    return 0;
}
