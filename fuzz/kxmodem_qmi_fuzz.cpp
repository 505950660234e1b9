// Fuzz target: kxmodem's QMI side. The input is a script of records; each
// record is one frame from a control connection, or a change of the module's
// state. Every frame goes through the parser, the frame trace's decoder and,
// when its header is readable, the QMI engine, as the control port does.
//
// Record: [op][length lo][length hi][length bytes]
//   op & 3 == 0..2: a frame from connection (op & 3); op & 4: the connect
//       delay is non-zero (starts stay pending until the timers run);
//       op & 8: run the pending timers afterwards
//   op & 3 == 3: a state change chosen by the first byte of the record
//
// Checks:
//   - a frame that parses is rebuilt byte for byte by BuildFrame;
//   - every reply and indication the module sends is itself a well-formed
//     frame from the module, and a reply carries the request's service,
//     message id and transaction id;
//   - every request the engine takes is answered by the time its timers ran.
//   - the deframer yields only frames whose QMUX length matches their size.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>

#include "engine.h"
#include "fuzz_report.h"
#include "qmux.h"
#include "trace.h"

using namespace kxmodem;

namespace {

[[noreturn]] void Fail(const char *what) {
    kxfuzz::Fail("kxmodem_qmi: %s", what);
}

void CheckModuleFrame(const QmiMessage &m, bool reply) {
    Bytes frame = BuildFrame(m);
    QmiMessage back;
    if (ParseFrame(frame.data(), frame.size(), &back) != ParseStatus::kOk)
        Fail("the module sent a frame it cannot parse itself");
    if (BuildFrame(back) != frame)
        Fail("a module frame does not survive parse and rebuild");
    if (!(m.qmuxFlags & qmi::kQmuxFromService))
        Fail("a module frame lacks the from-service QMUX flag");
    uint8_t expected;
    if (m.service == qmi::kCtl)
        expected = reply ? qmi::kCtlResponse : qmi::kCtlIndication;
    else
        expected = reply ? qmi::kResponse : qmi::kIndication;
    if (m.flags != expected)
        Fail("a module frame has the wrong message-type flags");
    if (reply && m.Find(qmi::kTlvResult) == nullptr)
        Fail("a reply without a result TLV");
    (void)Trace::Decode(frame.data(), frame.size());
}

struct Sink : EngineSink {
    // Requests waiting for their reply: (endpoint, service, transaction id).
    struct Waiting {
        int endpoint;
        uint8_t service;
        uint16_t transactionId;
        uint16_t messageId;
    };
    std::deque<Waiting> waiting;
    std::deque<std::function<void()>> timers;

    void SendReply(int endpoint, const QmiMessage &reply, const FaultAction &) override {
        CheckModuleFrame(reply, true);
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            if (it->endpoint == endpoint && it->service == reply.service &&
                it->transactionId == reply.transactionId) {
                if (it->messageId != reply.messageId)
                    Fail("a reply carries another message id than its request");
                waiting.erase(it);
                return;
            }
        }
        // A second reply to one request (a duplicate fault is not injected
        // here) or a reply to a request never made.
        Fail("a reply that answers no outstanding request");
    }
    void SendIndication(int endpoint, const QmiMessage &indication) override {
        CheckModuleFrame(indication, false);
    }
    void After(uint32_t, std::function<void()> fn) override { timers.push_back(std::move(fn)); }
    int ChooseDataChannel(const bool taken[2]) override {
        for (int i = 0; i < 2; ++i) {
            if (!taken[i])
                return i;
        }
        return -1;
    }
    void RegistrationChanged() override {}

    void RunTimers() {
        // A timer may add timers; a bounded number of rounds.
        for (int round = 0; round < 16 && !timers.empty(); ++round) {
            std::deque<std::function<void()>> now;
            now.swap(timers);
            for (auto &fn : now)
                fn();
        }
    }
};

void StateChange(Engine &engine, const uint8_t *data, size_t size) {
    if (size == 0)
        return;
    uint8_t arg = size > 1 ? data[1] : 0;
    switch (data[0] % 7) {
    case 0:
        engine.SetRadio(arg & 1);
        break;
    case 1:
        engine.SetRegistration(arg % 6);
        break;
    case 2:
        engine.EndSessions(static_cast<int>(arg % 3) - 1, arg >> 2);
        break;
    case 3:
        engine.Reconfigure();
        break;
    case 4:
        engine.EndpointClosed(arg % 3);
        break;
    case 5:
        engine.AdoptOrphans(arg % 3);
        break;
    case 6:
        (void)engine.Sessions();
        (void)engine.OverallStatus();
        (void)engine.SessionOnChannel(arg % 3);
        break;
    }
}

// The control port's handling of one received frame.
void HandleFrame(Engine &engine, Sink &sink, int endpoint, const uint8_t *data, size_t size) {
    (void)Trace::Decode(data, size);
    (void)Trace::Hex(data, size);
    QmiMessage m;
    ParseStatus status = ParseFrame(data, size, &m);
    if (status == ParseStatus::kOk) {
        Bytes rebuilt = BuildFrame(m);
        if (rebuilt.size() != size || !std::equal(rebuilt.begin(), rebuilt.end(), data))
            Fail("a parsed frame is not rebuilt byte for byte");
    }
    if (status != ParseStatus::kOk && status != ParseStatus::kBadTlvs)
        return;
    if (m.flags != qmi::kRequest || (m.qmuxFlags & qmi::kQmuxFromService))
        return;
    // Two outstanding requests with one transaction id cannot be told apart
    // by their replies; a client never does that, so neither does the script.
    for (const auto &w : sink.waiting) {
        if (w.endpoint == endpoint && w.service == m.service && w.transactionId == m.transactionId)
            return;
    }
    sink.waiting.push_back({endpoint, m.service, m.transactionId, m.messageId});
    if (status == ParseStatus::kBadTlvs)
        engine.ReplyMalformed(endpoint, m);
    else
        engine.HandleRequest(endpoint, m, FaultAction{});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Sink sink;
    Engine engine(sink);
    size_t pos = 0;
    while (size - pos >= 3) {
        uint8_t op = data[pos];
        size_t length = GetU16(data + pos + 1);
        pos += 3;
        if (length > size - pos)
            length = size - pos;
        const uint8_t *record = data + pos;
        pos += length;
        if ((op & 3) == 3) {
            StateChange(engine, record, length);
        } else {
            engine.config().connectDelayMs = (op & 4) ? 100 : 0;
            HandleFrame(engine, sink, op & 3, record, length);
        }
        if (op & 8)
            sink.RunTimers();
    }
    sink.RunTimers();
    if (!sink.waiting.empty())
        Fail("a request was never answered");

    // The same bytes as a stream (the pseudo-terminal's path).
    StreamDeframer deframer;
    size_t fed = 0;
    while (fed < size) {
        size_t chunk = 1 + data[fed] % 64;
        if (chunk > size - fed)
            chunk = size - fed;
        deframer.Feed(data + fed, chunk);
        fed += chunk;
        Bytes frame;
        while (deframer.Next(&frame)) {
            if (frame.size() < kCtlHeaderEnd || frame[0] != qmi::kInterfaceQmux ||
                static_cast<size_t>(GetU16(frame.data() + 1)) + 1 != frame.size())
                Fail("the deframer yielded a frame whose length does not match");
        }
    }
    return 0;
}
