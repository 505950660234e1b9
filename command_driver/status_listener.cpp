// The status listener: one registered receiver of packet-service status
// indications, shared by both channels. The callback runs under the
// listener's lock, so that once SetStatusListener has returned the replaced
// callback is never called again.
#include "command_driver.h"
#include "control_frames.h"

void InitializeStatusListener(StatusListener *listener) {
    InitializeCriticalSection(&listener->lock);
    listener->callback = NULL;
    listener->context = NULL;
}

void DestroyStatusListener(StatusListener *listener) {
    SetStatusListener(listener, NULL, NULL);
    DeleteCriticalSection(&listener->lock);
}

void SetStatusListener(StatusListener *listener, StatusCallback callback, void *context) {
    EnterCriticalSection(&listener->lock);
    listener->callback = callback;
    listener->context = context;
    LeaveCriticalSection(&listener->lock);
}

BOOL HandleStatusIndication(StatusListener *listener, const BYTE *frame) {
    BYTE status = 0, reconfigure = 0;
    if (!CheckStatusIndication(frame, &status, &reconfigure))
        return 0;
    EnterCriticalSection(&listener->lock);
    if (listener->callback != NULL)
        listener->callback(0, status, reconfigure != 0 ? 1 : 0, listener->context);
    LeaveCriticalSection(&listener->lock);
    return 1;
}
