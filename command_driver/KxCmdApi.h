// KxCmdApi: the connection command driver of the handheld's HSDPA module.
//
// Connection software loads the library and calls these eleven functions to
// open the module's control channel, bring packet-data connections up and
// down on the module's two channels, query the module, and move packet data
// through the two network data ports. Results are 1 for success and 0 for
// failure (KxCmdAbort returns the purge's non-zero result).
#pragma once

#include <windows.h>
#include <kxexport.h>

#ifdef __cplusplus
extern "C" {
#endif

// Reports the end of an asynchronous request exactly once: status 1 when the
// module's reply was accepted, 0 for failure, rejection, time-out,
// cancellation or reclaim. data points at the reply's payload (null when
// there is none) and is valid only during the call.
typedef void (*CompletionCallback)(DWORD status, const void *data, DWORD size, void *context);

// Receives packet-service status indications: 0, the connection status,
// 1 when the module asks for reconfiguration (else 0), and the context given
// at registration.
typedef void (*StatusCallback)(DWORD zero, DWORD connectionStatus, DWORD reconfigure,
                               void *context);

// What KxCmdLogon sends to start a network interface. A null string, a zero
// address or a zero authentication byte is not sent.
typedef struct LogonParameters {
    const char *accessPointName;
    const char *userName;
    const char *password;
    DWORD primaryDns;
    DWORD secondaryDns;
    BYTE authentication;
} LogonParameters;

// Optional callbacks of KxCmdLogon: a null completion makes the logon
// synchronous; a null statusCallback leaves the status registration as it is.
typedef struct LogonCallbacks {
    CompletionCallback completion;
    void *completionContext;
    StatusCallback statusCallback;
    void *statusContext;
} LogonCallbacks;

// The channel rates as the module reports them.
typedef struct ChannelRates {
    DWORD currentTxRate;
    DWORD currentRxRate;
    DWORD maxTxRate;
    DWORD maxRxRate;
} ChannelRates;

// Driver lifecycle.
KX_EXPORT BOOL KxCmdOpen(void);
KX_EXPORT BOOL KxCmdClose(void);
KX_EXPORT BOOL KxCmdReopen(DWORD timeLimit);

// Connection operations (channel 0 or 1).
KX_EXPORT BOOL KxCmdLogon(DWORD channel, const LogonParameters *parameters, DWORD ignored,
                          const LogonCallbacks *callbacks);
KX_EXPORT BOOL KxCmdLogoff(DWORD channel, CompletionCallback callback, void *context);
KX_EXPORT BOOL KxCmdConnectionState(DWORD channel, CompletionCallback callback, void *context,
                                    DWORD *state);
KX_EXPORT BOOL KxCmdChannelRate(DWORD channel, CompletionCallback callback, void *context,
                                ChannelRates *rates);
KX_EXPORT BOOL KxCmdGetSignalStrength(CompletionCallback callback, void *context);

// Packet data (channel 0 or 1). Time limits in milliseconds, -1 for none.
KX_EXPORT BOOL KxCmdSend(DWORD channel, const void *buffer, DWORD *length, DWORD timeout);
KX_EXPORT BOOL KxCmdReceive(DWORD channel, void *buffer, DWORD *length, DWORD timeout);
KX_EXPORT DWORD KxCmdAbort(DWORD channel, BOOL send, BOOL receive);

#ifdef __cplusplus
}
#endif
