// ril.dll for the Wine lane: the Radio Interface Layer that ModemAbout.dll
// and cellcore.dll call, speaking AT to kxmodem through a COM port
// (at_port.h). RIL_DevSpecific passes an AT command line through and answers
// with the module's reply text; RIL_GetEquipmentState asks AT+CFUN?.
//
// Each instance has one RIL thread, which sends the instance's queued
// commands one at a time and runs its result callback; RIL_Deinitialize
// from another thread waits for that thread, so no callback of the instance
// runs after it returned. Called from the instance's own callback it cannot
// wait: the thread then ends, and frees the instance, when the callback
// returns. No notification is delivered: the module's unsolicited codes
// are left out of the replies, and neither caller here asks for any.
//
// Locks: tableLock (guards the set of live instances) before an instance's
// lock (guards its queue and its closing mark); neither is held while a
// callback runs or while the port is used. The port lock (at_port.cpp) is
// taken only with neither held.
#include <windows.h>

#include <ril.h>

#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "at_port.h"

namespace {

// How long the module may take to answer one command line.
const DWORD kCommandLimitMs = 10000;

enum class Kind { DevSpecific, Equipment };

struct Command {
    Kind kind;
    HRESULT id;
    std::string line;
};

struct Instance {
    RILRESULTCALLBACK result;
    DWORD_PTR param;
    HANDLE thread;
    DWORD threadId;
    HANDLE wake; // auto-reset: a command was queued or the instance closes
    CRITICAL_SECTION lock;
    std::vector<Command> queue; // guarded by lock
    bool closing;               // guarded by lock
    bool selfClosed;            // guarded by lock: closed from its own callback
};

CRITICAL_SECTION tableLock;
std::set<Instance *> live; // guarded by tableLock
LONG nextCommandId = 0;

struct TableInit {
    TableInit() { InitializeCriticalSection(&tableLock); }
    ~TableInit() { DeleteCriticalSection(&tableLock); }
} tableInit;

void Destroy(Instance *inst) {
    CloseHandle(inst->wake);
    CloseHandle(inst->thread);
    DeleteCriticalSection(&inst->lock);
    delete inst;
    atport::Release();
}

// The line of the reply that starts with prefix, "" when none does.
std::string ReplyLine(const std::string &reply, const char *prefix) {
    size_t at = 0;
    while (at < reply.size()) {
        size_t end = reply.find("\r\n", at);
        if (end == std::string::npos)
            end = reply.size();
        std::string line = reply.substr(at, end - at);
        if (line.compare(0, strlen(prefix), prefix) == 0)
            return line;
        at = end + 2;
    }
    return "";
}

void Deliver(Instance *inst, const Command &command, atport::Outcome outcome,
             const std::string &reply) {
    if (outcome != atport::Outcome::Ok) {
        inst->result(RIL_RESULT_ERROR, command.id, NULL, 0, inst->param);
        return;
    }
    if (command.kind == Kind::DevSpecific) {
        inst->result(RIL_RESULT_OK, command.id, reply.c_str(), (DWORD)reply.size(), inst->param);
        return;
    }
    std::string line = ReplyLine(reply, "+CFUN:");
    if (line.empty()) {
        inst->result(RIL_RESULT_ERROR, command.id, NULL, 0, inst->param);
        return;
    }
    long level = strtol(line.c_str() + 6, NULL, 10);
    RILEQUIPMENTSTATE state;
    memset(&state, 0, sizeof(state));
    state.cbSize = sizeof(state);
    state.dwParams = RIL_PARAM_EQUIPMENTSTATE_EQSTATE | RIL_PARAM_EQUIPMENTSTATE_RADIOSUPPORT;
    state.dwEqState = level == 1   ? RIL_EQSTATE_FULL
                      : level == 0 ? RIL_EQSTATE_MINIMUM
                      : level == 4 ? RIL_EQSTATE_RXTXOFF
                                   : RIL_EQSTATE_UNKNOWN;
    state.dwRadioSupport = level == 1 ? RIL_RADIOSUPPORT_ON : RIL_RADIOSUPPORT_OFF;
    inst->result(RIL_RESULT_OK, command.id, &state, sizeof(state), inst->param);
}

DWORD WINAPI RilThread(LPVOID argument) {
    Instance *inst = (Instance *)argument;
    for (;;) {
        Command command;
        bool have = false;
        EnterCriticalSection(&inst->lock);
        bool closing = inst->closing;
        if (!closing && !inst->queue.empty()) {
            command = inst->queue.front();
            inst->queue.erase(inst->queue.begin());
            have = true;
        }
        LeaveCriticalSection(&inst->lock);
        if (closing)
            break;
        if (!have) {
            WaitForSingleObject(inst->wake, INFINITE);
            continue;
        }
        std::string reply;
        atport::Outcome outcome = atport::Exchange(command.line, &reply, kCommandLimitMs);
        EnterCriticalSection(&inst->lock);
        closing = inst->closing;
        LeaveCriticalSection(&inst->lock);
        if (!closing && inst->result != NULL)
            Deliver(inst, command, outcome, reply);
    }
    EnterCriticalSection(&inst->lock);
    bool self = inst->selfClosed;
    LeaveCriticalSection(&inst->lock);
    if (self)
        Destroy(inst); // nobody waits for this thread
    return 0;
}

HRESULT Queue(HRIL hRil, Kind kind, const std::string &line) {
    Instance *inst = (Instance *)hRil;
    EnterCriticalSection(&tableLock);
    if (live.find(inst) == live.end()) {
        LeaveCriticalSection(&tableLock);
        return E_INVALIDARG;
    }
    Command command;
    command.kind = kind;
    // Command ids are positive, as HRESULTs that are not errors.
    command.id = (HRESULT)(InterlockedIncrement(&nextCommandId) & 0x7FFFFFFF);
    command.line = line;
    EnterCriticalSection(&inst->lock);
    inst->queue.push_back(command);
    LeaveCriticalSection(&inst->lock);
    SetEvent(inst->wake);
    LeaveCriticalSection(&tableLock);
    return command.id;
}

} // namespace

extern "C" {

HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD_PTR dwParam, HRIL *lphRil) {
    if (lphRil == NULL)
        return E_INVALIDARG;
    *lphRil = NULL;
    if (!atport::Acquire(dwIndex))
        return HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST);
    HANDLE wake = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (wake == NULL) {
        atport::Release();
        return E_OUTOFMEMORY;
    }
    Instance *inst = new Instance;
    inst->result = pfnResult;
    inst->param = dwParam;
    inst->wake = wake;
    inst->closing = false;
    inst->selfClosed = false;
    InitializeCriticalSection(&inst->lock);
    // The thread starts once the instance is in the table and the handle is
    // stored, so that its first callback may already use the handle.
    inst->thread = CreateThread(NULL, 0, RilThread, inst, CREATE_SUSPENDED, &inst->threadId);
    if (inst->thread == NULL) {
        CloseHandle(wake);
        DeleteCriticalSection(&inst->lock);
        delete inst;
        atport::Release();
        return E_OUTOFMEMORY;
    }
    EnterCriticalSection(&tableLock);
    live.insert(inst);
    LeaveCriticalSection(&tableLock);
    *lphRil = (HRIL)inst;
    ResumeThread(inst->thread);
    return S_OK;
}

HRESULT RIL_Deinitialize(HRIL hRil) {
    Instance *inst = (Instance *)hRil;
    EnterCriticalSection(&tableLock);
    if (live.erase(inst) == 0) {
        LeaveCriticalSection(&tableLock);
        return E_INVALIDARG;
    }
    bool own = GetCurrentThreadId() == inst->threadId;
    EnterCriticalSection(&inst->lock);
    inst->closing = true;
    inst->selfClosed = own;
    LeaveCriticalSection(&inst->lock);
    LeaveCriticalSection(&tableLock);
    if (own)
        return S_OK; // the RIL thread frees it once this callback returns
    SetEvent(inst->wake);
    WaitForSingleObject(inst->thread, INFINITE);
    Destroy(inst);
    return S_OK;
}

HRESULT RIL_GetEquipmentState(HRIL hRil) {
    return Queue(hRil, Kind::Equipment, "AT+CFUN?");
}

HRESULT RIL_DevSpecific(HRIL hRil, const BYTE *lpbParams, DWORD dwSize) {
    if (lpbParams == NULL || dwSize < sizeof(DWORD))
        return E_INVALIDARG;
    DWORD code = 0;
    memcpy(&code, lpbParams, sizeof(code));
    if (code != RIL_DEVSPECIFIC_ATCOMMAND)
        return E_NOTIMPL;
    std::string text((const char *)lpbParams + sizeof(DWORD), dwSize - sizeof(DWORD));
    text = text.substr(0, text.find('\0'));
    // One command line: a CR or LF inside would smuggle in a second one.
    if (text.empty() || text.find_first_of("\r\n") != std::string::npos)
        return E_INVALIDARG;
    return Queue(hRil, Kind::DevSpecific, text);
}

} // extern "C"
