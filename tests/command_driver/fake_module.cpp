#include "fake_module.h"

#include <algorithm>

#include "kxqmi/qmi_ids.h"

namespace kxtest {

namespace {

using namespace kxqmi;

void Put16(Bytes &b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void Put32(Bytes &b, uint32_t v) {
    Put16(b, v);
    Put16(b, v >> 16);
}

uint16_t Get16(const Bytes &b, size_t at) {
    return uint16_t(b[at] | (b[at + 1] << 8));
}

} // namespace

Request Decode(const Bytes &frame) {
    Request r;
    r.frame = frame;
    if (frame.size() < 12)
        return r;
    r.service = frame[4];
    r.clientId = frame[5];
    if (r.service == kCtl) {
        r.transactionId = frame[7];
        r.message = Get16(frame, 8);
    } else if (frame.size() >= 13) {
        r.transactionId = Get16(frame, 7);
        r.message = Get16(frame, 9);
    }
    return r;
}

Bytes ReplyFrame(uint8_t service, uint8_t clientId, uint16_t transactionId, uint16_t message,
                 uint16_t resultCode, uint16_t errorCode, const Bytes *payload) {
    Bytes tlvs = {kTlvResult, 0x04, 0x00};
    Put16(tlvs, resultCode);
    Put16(tlvs, errorCode);
    if (payload) {
        tlvs.push_back(kTlvFirst);
        Put16(tlvs, uint32_t(payload->size()));
        tlvs.insert(tlvs.end(), payload->begin(), payload->end());
    }
    Bytes f = {kInterfaceQmux, 0, 0, kQmuxFromService, service, clientId};
    if (service == kCtl) {
        f.push_back(kCtlResponse);
        f.push_back(uint8_t(transactionId));
    } else {
        f.push_back(kResponse);
        Put16(f, transactionId);
    }
    Put16(f, message);
    Put16(f, uint32_t(tlvs.size()));
    f.insert(f.end(), tlvs.begin(), tlvs.end());
    f[1] = uint8_t(f.size() - 1);
    f[2] = uint8_t((f.size() - 1) >> 8);
    return f;
}

Bytes StatusIndication(uint8_t connectionStatus, uint8_t reconfigure, uint16_t transactionId) {
    Bytes f = {kInterfaceQmux, 0x11, 0x00, kQmuxFromService, kWds, kBroadcastClient, kIndication};
    Put16(f, transactionId);
    Put16(f, kWdsGetPacketServiceStatus);
    Put16(f, 5);
    f.insert(f.end(), {kTlvFirst, 0x02, 0x00, connectionStatus, reconfigure});
    return f;
}

FakeModule::FakeModule(bool registerControl) {
    if (!registerControl)
        return;
    control = TestDevice::Register(u"KXC1:");
    control->SetResponder([this](const Bytes &written) { OnWrite(written); });
}

FakeModule::~FakeModule() {
    if (control)
        control->SetResponder(nullptr);
}

void FakeModule::Reject(uint8_t service, uint16_t message) {
    std::lock_guard<std::mutex> lock(mutex_);
    rejected_.insert(uint32_t(service) << 16 | message);
}

void FakeModule::Hold(std::function<bool(const Request &)> hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = std::move(hold);
}

void FakeModule::Intercept(std::function<bool(const Request &, FakeModule &)> intercept) {
    std::lock_guard<std::mutex> lock(mutex_);
    intercept_ = std::move(intercept);
}

void FakeModule::ReleaseHeld(size_t count) {
    std::vector<Request> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        count = std::min(count, held_.size());
        held.assign(held_.begin(), held_.begin() + count);
        held_.erase(held_.begin(), held_.begin() + count);
    }
    for (const Request &r : held)
        control->Push(Answer(r));
}

size_t FakeModule::HeldCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
}

Bytes FakeModule::Answer(const Request &r) const {
    bool rejected;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rejected = rejected_.count(uint32_t(r.service) << 16 | r.message) != 0;
    }
    if (rejected)
        return ReplyFrame(r.service, r.clientId, r.transactionId, r.message, 1, kErrCallFailed);
    Bytes payload;
    if (r.service == kCtl && r.message == kCtlGetClientId) {
        uint8_t service = r.frame.size() > 15 ? r.frame[15] : 0;
        payload = {service, service == kNas ? nasClientId : wdsClientId};
    } else if (r.service == kWds && r.message == kWdsStartNetwork) {
        Put32(payload, packetDataHandle);
    } else if (r.service == kWds && r.message == kWdsGetPacketServiceStatus) {
        payload = {connectionStatus};
    } else if (r.service == kWds && r.message == kWdsGetChannelRates) {
        for (uint32_t rate : rates)
            Put32(payload, rate);
    } else if (r.service == kNas && r.message == kNasGetSignalStrength) {
        payload = {signalStrength, radioInterface};
    }
    return ReplyFrame(r.service, r.clientId, r.transactionId, r.message, 0, 0,
                      payload.empty() ? nullptr : &payload);
}

void FakeModule::OnWrite(const Bytes &written) {
    if (written.size() < 12)
        return; // not a request (a short write's first bytes)
    Request r = Decode(written);
    std::function<bool(const Request &, FakeModule &)> intercept;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (hold_ && hold_(r)) {
            held_.push_back(r);
            return;
        }
        intercept = intercept_;
    }
    if (intercept && intercept(r, *this))
        return;
    control->Push(Answer(r));
}

std::vector<Request> FakeModule::Requests() const {
    std::vector<Request> out;
    for (const Bytes &b : control->Writes())
        out.push_back(Decode(b));
    return out;
}

size_t FakeModule::CountOf(uint8_t service, uint16_t message) const {
    size_t n = 0;
    for (const Request &r : Requests())
        n += r.service == service && r.message == message;
    return n;
}

bool FakeModule::WaitForRequests(size_t count, unsigned realMilliseconds) const {
    return control->WaitForWrites(count, realMilliseconds);
}

} // namespace kxtest
