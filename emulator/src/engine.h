// The module's QMI side without any I/O: client ids, packet sessions and
// their state machine, and the CTL, WDS and NAS services. The transport hands
// it parsed requests and carries what it sends through an EngineSink. It runs
// on the modem's event-loop thread only, so it has no lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "clients.h"
#include "faults.h"
#include "model.h"
#include "qmux.h"

namespace kxmodem {

class EngineSink {
  public:
    virtual ~EngineSink() = default;
    // A reply to a request that came from `endpoint`; `fault` is the fault
    // matched when the request arrived.
    virtual void SendReply(int endpoint, const QmiMessage &reply, const FaultAction &fault) = 0;
    virtual void SendIndication(int endpoint, const QmiMessage &indication) = 0;
    virtual void After(uint32_t ms, std::function<void()> fn) = 0;
    // The data channel a new session should use, given which are taken; -1 = none.
    virtual int ChooseDataChannel(const bool taken[2]) = 0;
    // The effective registration (or radio state) changed.
    virtual void RegistrationChanged() = 0;
};

struct Session {
    int channel = -1;
    uint32_t handle = 0;
    uint8_t clientId = 0;
    uint8_t status = 1;
    std::string apn;
    uint32_t address = 0;
    uint32_t dns[2] = {0, 0};
    // A start still coming up (connect delay): who gets the reply.
    bool pending = false;
    int startEndpoint = -1;
    uint16_t startTransaction = 0;
    FaultAction startFault;
};

// Why a packet data start is refused (wds.cpp).
struct StartRefusal;

class Engine {
  public:
    explicit Engine(EngineSink &sink) : sink_(sink) {}

    ModemConfig &config() { return config_; }
    const ModemConfig &config() const { return config_; }
    ClientIdAllocator &clients() { return clients_; }

    // A well-formed request from a control connection.
    void HandleRequest(int endpoint, const QmiMessage &request, const FaultAction &fault);
    // A request whose header is readable but whose TLVs are not.
    void ReplyMalformed(int endpoint, const QmiMessage &request);
    // A reply with only a result TLV carrying `error` (reject faults, errors).
    void ReplyError(int endpoint, const QmiMessage &request, uint16_t error,
                    const FaultAction &fault = {});

    // Model changes from controls and the AT port.
    void SetRadio(bool on);
    void SetRegistration(int registration);
    // Ends sessions from the network side (channel -1: all).
    int EndSessions(int channel, uint16_t reason);
    // Tells WDS clients to reconfigure (indication with the reconfiguration flag).
    void Reconfigure();
    // The serving system (registration, operator) changed: NAS clients that
    // registered for it get the Serving System indication.
    void ServingSystemChanged();

    const Session *SessionOnChannel(int channel) const;
    std::vector<Session> Sessions() const;
    uint8_t OverallStatus() const;
    // The endpoint a client last used (indications go there), -1 if none.
    int OwnerOf(uint8_t service, uint8_t clientId) const;
    // A connection went away: its clients keep their ids (a module does not
    // see its host's file handles), but indications for them need a new home.
    void EndpointClosed(int endpoint);
    // Where indications of clients whose connection closed go next.
    void AdoptOrphans(int endpoint);
    // The module restarted: it knows no client id and no session any more,
    // and tells nobody (its connections went down with it). The id rotation
    // and the packet data handles go on, so that ids and handles from before
    // the restart do not name new clients and sessions at once.
    void Reset();

  private:
    QmiMessage ReplyTo(const QmiMessage &request) const;
    void HandleCtl(int endpoint, const QmiMessage &request, const FaultAction &fault);
    // The CTL requests HandleCtl dispatches to.
    void CtlGetVersionInfo(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void CtlGetClientId(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void CtlReleaseClientId(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void CtlSync(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void HandleWds(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void HandleNas(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void HandleDms(int endpoint, const QmiMessage &request, const FaultAction &fault);
    // Get Supported Messages of any service but CTL: what the table marks served.
    void ReplySupportedMessages(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void GetCurrentSettings(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void RegisterIndications(int endpoint, const QmiMessage &request, const FaultAction &fault);
    // The Serving System TLVs, for the reply and the indication alike.
    void AddServingSystem(QmiMessage *message) const;
    void AddSystemInfo(QmiMessage *message) const;
    void StartNetwork(int endpoint, const QmiMessage &request, const FaultAction &fault);
    // StartNetwork's steps once the request itself is sound.
    StartRefusal CheckNetworkAdmits(const QmiMessage &request, std::string *apn) const;
    void OpenSession(int endpoint, const QmiMessage &request, const FaultAction &fault, int channel,
                     const std::string &apn);
    void StopNetwork(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void Abort(int endpoint, const QmiMessage &request, const FaultAction &fault);
    void CompleteStart(uint32_t handle);
    void FailStart(const Session &session, uint16_t error, uint16_t reason, uint16_t verbose);
    void ReplyStartFailure(int endpoint, const QmiMessage &request, const FaultAction &fault,
                           uint16_t error, uint16_t reason, uint16_t verbose);
    // Removes a session, answering a pending start and indicating the change.
    void EndSession(uint32_t handle, uint16_t reason, bool indicate);
    void ReleaseClient(uint8_t service, uint8_t clientId);
    void IndicateStatus(uint8_t status, bool reconfigure);

    EngineSink &sink_;
    ModemConfig config_;
    ClientIdAllocator clients_;
    std::map<uint32_t, Session> sessions_;     // by packet data handle
    std::map<uint16_t, int> owners_;           // (service << 8 | client) -> endpoint
    std::vector<uint16_t> orphans_;            // clients whose endpoint closed
    std::set<uint8_t> servingSystemListeners_; // NAS clients registered for its indication
    uint32_t nextHandle_ = 0x4B580001;
};

} // namespace kxmodem
