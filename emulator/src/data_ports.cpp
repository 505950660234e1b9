// The packet-data ports (KXN1, KXN2): which channel a new session takes, and
// the IP packets a host sends through a channel, answered by the small
// network behind the module.
#include "datanet.h"
#include "modem_impl.h"

namespace kxmodem {

// A new session goes to the data port its host opened most recently and that
// carries no session yet; with none open (a host that moves no data, such as
// a command-line tool), to the lowest free channel.
int Modem::Impl::ChooseDataChannel(const bool taken[2]) {
    // A host opens the data port before it asks for the session; the
    // connection may still wait in the backlog while its request is read.
    Accept(kPortData1);
    Accept(kPortData2);
    int best = -1;
    uint64_t bestSequence = 0;
    for (const auto &entry : connections) {
        const Connection &c = entry.second;
        if (c.port != kPortData1 && c.port != kPortData2)
            continue;
        int channel = c.port == kPortData1 ? 0 : 1;
        if (!taken[channel] && c.sequence > bestSequence) {
            best = channel;
            bestSequence = c.sequence;
        }
    }
    if (best >= 0)
        return best;
    for (int ch = 0; ch < 2; ++ch) {
        if (!taken[ch])
            return ch;
    }
    return -1;
}

void Modem::Impl::HandleData(Connection &c, const uint8_t *data, size_t size) {
    ++counters.dataIn;
    CaptureData(c, true, data, size);
    int channel = c.port == kPortData1 ? 0 : 1;
    const Session *s = engine.SessionOnChannel(channel);
    if (!s || s->status != qmi::kStatusConnected) {
        ++counters.dataDroppedNoSession;
        trace.Data(c.where, true, size, "dropped: no session up");
        return;
    }
    if (network) {
        ForwardToNetwork(c, *s, data, size);
        return;
    }
    std::vector<uint8_t> reply;
    switch (AnswerPacket(data, size, s->address, &reply)) {
    case PacketVerdict::kInvalid:
        ++counters.dataDroppedInvalid;
        trace.Data(c.where, true, size, "dropped: invalid");
        return;
    case PacketVerdict::kUnanswered:
        ++counters.dataDroppedUnanswered;
        trace.Data(c.where, true, size, "unanswered");
        return;
    case PacketVerdict::kAnswered:
        break;
    }
    trace.Data(c.where, true, size, data[9] == 1 ? "ICMP" : "UDP");
    if (SendBytes(c.endpoint, reply.data(), reply.size())) {
        ++counters.dataOut;
        CaptureData(c, false, reply.data(), reply.size());
        trace.Data(c.where, false, reply.size(), "echo");
    }
}

} // namespace kxmodem
