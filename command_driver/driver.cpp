// The driver's one record, its lifecycle exports and the reader thread.
#include "command_driver.h"

namespace {

CommandDriver TheDriver;

// The control port reads without practical limit and writes without limit.
COMMTIMEOUTS ControlPortTimeouts() {
    return PortTimeouts(NoReceiveLimit, MAXDWORD);
}

void SetSlotPorts(CommandDriver *driver, HANDLE port) {
    for (int i = 0; i < SlotCount; ++i)
        SetSlotPort(&driver->slots[i], port);
}

// Reads one message per read and routes it. Ends when the control port is
// closed and no reopen is under way, or once a newer reader has replaced it.
// Never takes the driver lock. The parameter is the reader's number.
DWORD WINAPI ReaderThread(LPVOID parameter) {
    CommandDriver *driver = Driver();
    DWORD number = (DWORD)(ULONG_PTR)parameter;
    LONG running = ReaderValue(number, ReaderRunning);
    BYTE buffer[FrameBufferSize];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(LoadHandle(&driver->controlPort), buffer, sizeof buffer, &read, NULL)) {
            Sleep(RetryPause);
        } else if (read >= 8) {
            // The buffer keeps bytes of earlier messages: a frame is routed
            // only when this read delivered all of it.
            DWORD length = (DWORD)(buffer[1] | (buffer[2] << 8)) + 1;
            if (length <= sizeof buffer && read >= length)
                RouteControlMessage(driver, buffer);
        }
        if (LoadHandle(&driver->controlPort) == INVALID_HANDLE_VALUE &&
            !WaitForPorts(driver, PortReturnTimeLimit) &&
            InterlockedCompareExchange(&driver->readerState, ReaderValue(number, ReaderEnded),
                                       running) == running)
            return 0;
        if (ReaderNumberOf((LONG)LoadValue(&driver->readerState)) != number)
            return 0; // a close stopped waiting for it and an open started another
    }
}

BOOL StartReader(CommandDriver *driver) {
    DWORD number = ReaderNumberOf((LONG)LoadValue(&driver->readerState)) + 1;
    StoreValue(&driver->readerState, ReaderValue(number, ReaderRunning));
    driver->readerThread = CreateThread(NULL, 0, ReaderThread, (LPVOID)(ULONG_PTR)number, 0, NULL);
    if (driver->readerThread == NULL)
        StoreValue(&driver->readerState, ReaderValue(number, ReaderEnded));
    return driver->readerThread != NULL;
}

// Waits a limited time for a reader that is ending (the control port is
// closed and portAvailable signalled) and closes its handle.
void EndReader(CommandDriver *driver) {
    if (driver->readerThread == NULL)
        return;
    WaitForSingleObject(driver->readerThread, ReaderEndTimeLimit);
    CloseHandle(driver->readerThread);
    driver->readerThread = NULL;
}

BOOL ReleaseClient(CommandDriver *driver, BYTE service, BYTE clientId) {
    WORD slot = AcquireSlot(driver, NULL, NULL);
    return slot != NoSlot && ReleaseClientId(&driver->slots[slot], service, clientId);
}

BOOL ObtainClient(CommandDriver *driver, BYTE service, BYTE *clientId) {
    WORD slot = AcquireSlot(driver, NULL, NULL);
    return slot != NoSlot && RequestClientId(&driver->slots[slot], service, clientId);
}

} // namespace

CommandDriver *Driver() {
    return &TheDriver;
}

COMMTIMEOUTS PortTimeouts(DWORD receiveLimit, DWORD sendLimit) {
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = receiveLimit;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = sendLimit;
    return timeouts;
}

HANDLE OpenModulePort(const WCHAR *prefix, DWORD number) {
    WCHAR name[15];
    wsprintfW(name, TEXT("%s%d:"), prefix, (int)number);
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

BOOL WaitForPorts(CommandDriver *driver, DWORD timeLimit) {
    if (WaitForSingleObject(driver->portAvailable, 0) == WAIT_OBJECT_0)
        return 0;
    WaitForSingleObject(driver->portAvailable, timeLimit);
    return 1;
}

void ConstructDriver(CommandDriver *driver) {
    for (int i = 0; i < SlotCount; ++i)
        ConstructSlot(&driver->slots[i]);
    InitializeStatusListener(&driver->statusListener);
    InitializeCriticalSection(&driver->lock);
    InitializeCriticalSection(&driver->channelLock);
    StoreHandle(&driver->controlPort, INVALID_HANDLE_VALUE);
    driver->readerThread = NULL;
    StoreValue(&driver->readerState, ReaderValue(0, ReaderEnded));
    driver->opened = 0;
    driver->wdsClientId = NoClientId;
    driver->nasClientId = NoClientId;
    driver->portAvailable = CreateEventW(NULL, TRUE, TRUE, NULL);
    for (DWORD c = 0; c < ChannelCount; ++c) {
        StoreHandle(&driver->dataPort[c], INVALID_HANDLE_VALUE);
        StoreValue(&driver->receiveTimeout[c], 0);
        StoreValue(&driver->sendTimeout[c], 0);
        driver->interfaceUp[c] = 0;
        driver->pendingStart[c] = NoSlot;
        driver->packetDataHandle[c] = 0;
        for (int r = 0; r < 2; ++r) {
            driver->channelCompletion[c][r].driver = driver;
            driver->channelCompletion[c][r].channel = c;
            driver->channelCompletion[c][r].callback = NULL;
            driver->channelCompletion[c][r].context = NULL;
            driver->channelCompletion[c][r].startSlot = NoSlot;
            driver->channelCompletion[c][r].strayUp = 0;
            driver->channelCompletion[c][r].strayHandle = 0;
        }
        driver->currentCompletion[c] = NULL;
    }
    for (WORD i = 0; i < SlotCount; ++i) {
        EnterCriticalSection(&driver->slots[i].lock);
        driver->slots[i].transactionId = i;
        LeaveCriticalSection(&driver->slots[i].lock);
    }
}

void DestroyDriver(CommandDriver *driver) {
    KxCmdClose();
    if (driver->portAvailable != NULL)
        CloseHandle(driver->portAvailable);
    driver->portAvailable = NULL;
    DeleteCriticalSection(&driver->lock);
    DestroyStatusListener(&driver->statusListener);
    for (int i = SlotCount - 1; i >= 0; --i)
        DestroySlot(&driver->slots[i]);
    DeleteCriticalSection(&driver->channelLock);
}

BOOL KxCmdOpen(void) {
    CommandDriver *driver = Driver();
    EnterCriticalSection(&driver->lock);
    BOOL result = 0;
    if (driver->portAvailable != NULL) {
        SetEvent(driver->portAvailable);
        if (LoadHandle(&driver->controlPort) == INVALID_HANDLE_VALUE) {
            EndReader(driver); // the reader that ended after a reopen lost the control port
            HANDLE port = OpenModulePort(TEXT("KXC"), 1);
            if (port != INVALID_HANDLE_VALUE) {
                StoreHandle(&driver->controlPort, port);
                COMMTIMEOUTS timeouts = ControlPortTimeouts();
                if (SetCommTimeouts(port, &timeouts) && StartReader(driver)) {
                    SetSlotPorts(driver, port);
                    result = ObtainClient(driver, ServiceWds, &driver->wdsClientId) &&
                             ObtainClient(driver, ServiceNas, &driver->nasClientId);
                }
                if (result)
                    driver->opened = 1;
                else
                    KxCmdClose(); // releases whatever was obtained
            }
        }
    }
    LeaveCriticalSection(&driver->lock);
    return result;
}

BOOL KxCmdClose(void) {
    CommandDriver *driver = Driver();
    EnterCriticalSection(&driver->lock);
    BOOL portWasOpen = LoadHandle(&driver->controlPort) != INVALID_HANDLE_VALUE;
    BOOL result = portWasOpen;
    if (portWasOpen)
        SetEvent(driver->portAvailable);
    // Both channels end, also when an earlier reopen lost the control port
    // and a data port came back (no request can be sent then: every slot's
    // port is invalid).
    LogoffChannel(driver, 0, NULL, NULL);
    LogoffChannel(driver, 1, NULL, NULL);
    if (portWasOpen) {
        if (driver->nasClientId != NoClientId &&
            !ReleaseClient(driver, ServiceNas, driver->nasClientId))
            result = 0;
        if (driver->wdsClientId != NoClientId &&
            !ReleaseClient(driver, ServiceWds, driver->wdsClientId))
            result = 0;
    }
    // Invalid first, then closed: the reader, woken by the close, must find
    // the port gone and portAvailable signalled, and end.
    HANDLE port = TakeHandle(&driver->controlPort);
    if (port != INVALID_HANDLE_VALUE)
        CloseHandle(port);
    EndReader(driver); // also the handle of a reader that ended after a failed reopen
    for (int i = 0; i < SlotCount; ++i) {
        SetSlotPort(&driver->slots[i], INVALID_HANDLE_VALUE);
        CancelSlot(&driver->slots[i]);
    }
    ForgetStartedInterfaces(driver);
    driver->wdsClientId = NoClientId;
    driver->nasClientId = NoClientId;
    driver->opened = 0;
    LeaveCriticalSection(&driver->lock);
    return result;
}

BOOL KxCmdReopen(DWORD timeLimit) {
    CommandDriver *driver = Driver();
    EnterCriticalSection(&driver->lock);
    if (!driver->opened) {
        LeaveCriticalSection(&driver->lock);
        return 0;
    }
    // Until this reopen returns the reader may not end. One that has ended
    // already (an earlier reopen lost the control port) is waited for; a new
    // one reads the control port once it is back.
    DWORD reader = ReaderNumberOf((LONG)LoadValue(&driver->readerState));
    LONG before = InterlockedCompareExchange(&driver->readerState, ReaderValue(reader, ReaderKept),
                                             ReaderValue(reader, ReaderRunning));
    if (ReaderStateOf(before) == ReaderEnded)
        EndReader(driver);
    ResetEvent(driver->portAvailable);

    // Close every open port, keeping its time-out record for the new one.
    BOOL wasOpen[ChannelCount];
    COMMTIMEOUTS saved[ChannelCount];
    for (DWORD c = 0; c < ChannelCount; ++c) {
        saved[c] = ControlPortTimeouts();
        HANDLE port = TakeHandle(&driver->dataPort[c]);
        wasOpen[c] = port != INVALID_HANDLE_VALUE;
        if (wasOpen[c]) {
            GetCommTimeouts(port, &saved[c]);
            CloseHandle(port);
        }
    }
    // After an earlier reopen that lost the control port nothing is saved;
    // it gets the record it gets when the driver opens.
    COMMTIMEOUTS savedControl = ControlPortTimeouts();
    HANDLE control = TakeHandle(&driver->controlPort);
    if (control != INVALID_HANDLE_VALUE) {
        GetCommTimeouts(control, &savedControl);
        CloseHandle(control);
    }

    // Open what is missing until everything is back or the time is up; at
    // least one attempt is made. A port gets its record before it is
    // published to the threads that use it without the lock.
    DWORD start = GetTickCount();
    BOOL attempt;
    for (;;) {
        attempt = 1;
        for (DWORD c = 0; c < ChannelCount; ++c) {
            if (!wasOpen[c] || LoadHandle(&driver->dataPort[c]) != INVALID_HANDLE_VALUE)
                continue;
            HANDLE port = OpenModulePort(TEXT("KXN"), c + 1);
            if (port == INVALID_HANDLE_VALUE) {
                attempt = 0;
                continue;
            }
            SetCommTimeouts(port, &saved[c]);
            StoreHandle(&driver->dataPort[c], port);
        }
        if (LoadHandle(&driver->controlPort) == INVALID_HANDLE_VALUE) {
            HANDLE port = OpenModulePort(TEXT("KXC"), 1);
            if (port == INVALID_HANDLE_VALUE) {
                attempt = 0;
            } else {
                SetCommTimeouts(port, &savedControl);
                StoreHandle(&driver->controlPort, port);
            }
        }
        if (attempt)
            break;
        if (WaitForSingleObject(driver->portAvailable, RetryPause) != WAIT_TIMEOUT)
            break;
        if (GetTickCount() - start >= timeLimit)
            break;
    }
    // A control port without a reader would never be answered: without a
    // new reader it is closed again and the reopen fails.
    if (driver->readerThread != NULL) {
        StoreValue(&driver->readerState, ReaderValue(reader, ReaderRunning));
    } else if (LoadHandle(&driver->controlPort) != INVALID_HANDLE_VALUE && !StartReader(driver)) {
        CloseHandle(TakeHandle(&driver->controlPort));
        attempt = 0;
    }
    SetSlotPorts(driver, LoadHandle(&driver->controlPort));
    SetEvent(driver->portAvailable);
    LeaveCriticalSection(&driver->lock);
    return attempt;
}
