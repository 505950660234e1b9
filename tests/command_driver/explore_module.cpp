#include "explore_module.h"

#include <algorithm>

namespace kxtest {

namespace {

const uint8_t Ctl = 0, Wds = 1, Nas = 3;
const uint16_t Abort = 0x0002, GetClientId = 0x0022, ReleaseClientId = 0x0023, Start = 0x0020,
               Stop = 0x0021, State = 0x0022, Rates = 0x0023, Signal = 0x0020;
const uint16_t ErrorNoEffect = 0x001A, ErrorInvalidHandle = 0x0019, ErrorAborted = 0x0046;

uint32_t Tlv32(const Request &r, uint8_t type) {
    // The request's TLVs start behind the 13-byte header.
    for (size_t at = 13; at + 3 <= r.frame.size();) {
        uint8_t t = r.frame[at];
        size_t length = r.frame[at + 1] | (r.frame[at + 2] << 8);
        if (t == type && length >= 2 && at + 3 + length <= r.frame.size()) {
            uint32_t v = 0;
            for (size_t i = 0; i < length && i < 4; ++i)
                v |= uint32_t(r.frame[at + 3 + i]) << (8 * i);
            return v;
        }
        at += 3 + length;
    }
    return UINT32_MAX;
}

Bytes Le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

} // namespace

ModuleModel::ModuleModel() {
    somethingHeld = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    control = TestDevice::Register(u"KXC1:");
    data[0] = TestDevice::Register(u"KXN1:");
    data[1] = TestDevice::Register(u"KXN2:");
    control->SetResponder([this](const Bytes &written) { OnWrite(written); });
}

ModuleModel::~ModuleModel() {
    control->SetResponder(nullptr);
    control.reset();
    data[0].reset();
    data[1].reset();
    CloseHandle(somethingHeld);
}

Bytes ModuleModel::Decide(const Request &r) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (r.service == Ctl && r.message == GetClientId) {
        uint8_t service = r.frame.size() > 15 ? r.frame[15] : 0;
        Bytes payload = {service, uint8_t(service == Nas ? 0x07 : 0x05)};
        return ReplyFrame(Ctl, r.clientId, r.transactionId, r.message, 0, 0, &payload);
    }
    if (r.service == Wds && r.message == Start) {
        bool busy =
            !facts_.up.empty() || std::any_of(held_.begin(), held_.end(), [&](const Request &h) {
                return h.service == Wds && h.message == Start && h.transactionId != r.transactionId;
            });
        if (oneCallAtATime && busy) {
            ++facts_.startsRejected;
            return ReplyFrame(Wds, r.clientId, r.transactionId, r.message, 1, ErrorNoEffect);
        }
        uint32_t handle = nextHandle_++;
        facts_.up.insert(handle);
        ++facts_.startsAccepted;
        facts_.maxUp = std::max(facts_.maxUp, int(facts_.up.size()));
        Bytes payload = Le32(handle);
        return ReplyFrame(Wds, r.clientId, r.transactionId, r.message, 0, 0, &payload);
    }
    if (r.service == Wds && r.message == Stop) {
        uint32_t handle = Tlv32(r, 0x01);
        if (facts_.up.erase(handle) == 0) {
            facts_.odd.push_back("a stop of an interface that is not up");
            return ReplyFrame(Wds, r.clientId, r.transactionId, r.message, 1, ErrorInvalidHandle);
        }
        ++facts_.stops;
        return ReplyFrame(Wds, r.clientId, r.transactionId, r.message);
    }
    if (r.service == Wds && r.message == State) {
        Bytes payload = {connectionStatus};
        return ReplyFrame(Wds, r.clientId, r.transactionId, r.message, 0, 0, &payload);
    }
    if (r.service == Wds && r.message == Rates) {
        Bytes payload;
        for (uint32_t rate : {9600u, 14400u, 384000u, 3600000u}) {
            Bytes b = Le32(rate);
            payload.insert(payload.end(), b.begin(), b.end());
        }
        return ReplyFrame(Wds, r.clientId, r.transactionId, r.message, 0, 0, &payload);
    }
    if (r.service == Nas && r.message == Signal) {
        Bytes payload = {signalStrength, radioInterface};
        return ReplyFrame(Nas, r.clientId, r.transactionId, r.message, 0, 0, &payload);
    }
    // Release of a client id, Abort: accepted, nothing to carry.
    return ReplyFrame(r.service, r.clientId, r.transactionId, r.message);
}

void ModuleModel::OnWrite(const Bytes &written) {
    if (written.size() < 12)
        return;
    Request r = Decode(written);
    bool holdIt = false;
    std::vector<Request> ended; // held starts that an Abort ends
    {
        std::lock_guard<std::mutex> guard(mutex_);
        holdIt = hold && hold(r);
        if (holdIt)
            held_.push_back(r);
        if (r.service == Wds && r.message == Abort && abortEndsHeldStart) {
            uint32_t aborted = Tlv32(r, 0x01) & 0xFFFF;
            for (auto it = held_.begin(); it != held_.end();) {
                if (it->service == Wds && it->message == Start && it->transactionId == aborted) {
                    ended.push_back(*it);
                    it = held_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    if (holdIt) {
        SetEvent(somethingHeld);
        return;
    }
    control->Push(Decide(r));
    for (const Request &start : ended)
        control->Push(ReplyFrame(Wds, start.clientId, start.transactionId, Start, 1, ErrorAborted));
}

size_t ModuleModel::Release(size_t count) {
    size_t answered = 0;
    while (answered < count) {
        Request r;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (held_.empty())
                break;
            r = held_.front();
            held_.erase(held_.begin());
        }
        control->Push(Decide(r));
        ++answered;
    }
    return answered;
}

size_t ModuleModel::HeldCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    return held_.size();
}

ModuleModel::Facts ModuleModel::Seen() {
    std::lock_guard<std::mutex> guard(mutex_);
    return facts_;
}

AsyncCall::AsyncCall(const char *k, DWORD expectedSize) : kind(k), payloadSize(expectedSize) {
    done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

AsyncCall::~AsyncCall() {
    CloseHandle(done);
}

void AsyncCall::Callback(DWORD status, const void *data, DWORD size, void *context) {
    auto *call = static_cast<AsyncCall *>(context);
    ++call->calls;
    if (!call->hasReturned)
        ++call->callsBeforeReturn;
    call->status = status;
    call->size = size;
    call->dataNull = data == nullptr;
    if (call->log)
        call->log->push_back(std::string(call->kind) + " completion, status " +
                             std::to_string(status));
    SetEvent(call->done);
}

void AsyncCall::Returned(BOOL result) {
    returned = result;
    hasReturned = true;
}

void AsyncCall::Check() const {
    std::string name = std::string("asynchronous ") + kind + ": ";
    if (returned == 1)
        Expect(calls == 1, name + "returned 1 and called back " + std::to_string(calls) + " times");
    else
        Expect(calls <= 1 && calls == callsBeforeReturn,
               name + "returned 0 and called back " + std::to_string(calls) + " times, " +
                   std::to_string(calls - callsBeforeReturn) + " after returning");
    if (calls > 0 && status == 1)
        Expect(size == payloadSize && (size == 0) == dataNull,
               name + "accepted with " + std::to_string(size) + " bytes of data, not " +
                   std::to_string(payloadSize) + " of its own kind");
}

} // namespace kxtest
