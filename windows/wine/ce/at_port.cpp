// The module's AT command port on a COM port (see at_port.h).
#include "at_port.h"

#include <string.h>

namespace atport {
namespace {

// Guards port and users; held for a whole exchange (a leaf lock).
CRITICAL_SECTION portLock;
HANDLE port = INVALID_HANDLE_VALUE;
LONG users = 0;

// Time the module has to answer ATE0 when the port is opened.
const DWORD kOpenAnswerMs = 3000;
// Between two looks at the port while an answer is awaited.
const DWORD kPollMs = 5;

struct LockInit {
    LockInit() { InitializeCriticalSection(&portLock); }
    ~LockInit() { DeleteCriticalSection(&portLock); }
} lockInit;

bool StartsWith(const std::string &line, const char *prefix) {
    return line.compare(0, strlen(prefix), prefix) == 0;
}

bool IsFinal(const std::string &line) {
    return line == "OK" || line == "ERROR" || StartsWith(line, "+CME ERROR");
}

bool WriteAll(const std::string &bytes) {
    DWORD written = 0;
    return WriteFile(port, bytes.data(), (DWORD)bytes.size(), &written, NULL) &&
           written == bytes.size();
}

// With the port lock held.
Outcome ExchangeLocked(const std::string &command, std::string *reply, DWORD limitMs) {
    reply->clear();
    if (port == INVALID_HANDLE_VALUE)
        return Outcome::Error;
    // What an earlier command left unread (a late answer) is not this one's.
    PurgeComm(port, PURGE_RXCLEAR);
    const std::string wire = command + "\r";
    if (!WriteAll(wire))
        return Outcome::Error;
    const bool askedForCreg = StartsWith(command, "AT+CREG?");
    std::string echo = wire; // the module may repeat the line first
    std::string pending;
    bool lastWasGap = false;
    const DWORD start = GetTickCount();
    for (;;) {
        char buffer[512];
        DWORD got = 0;
        if (!ReadFile(port, buffer, sizeof(buffer), &got, NULL))
            return Outcome::Error;
        if (got == 0) {
            if (GetTickCount() - start >= limitMs)
                return Outcome::NoAnswer;
            Sleep(kPollMs);
            continue;
        }
        pending.append(buffer, got);
        if (!echo.empty()) {
            size_t n = pending.size() < echo.size() ? pending.size() : echo.size();
            if (_strnicmp(pending.c_str(), echo.c_str(), n) != 0)
                echo.clear();
            else if (n == echo.size()) {
                pending.erase(0, n);
                echo.clear();
            } else {
                continue; // part of the echo so far
            }
        }
        size_t lf;
        while ((lf = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line[line.size() - 1] == '\r')
                line.erase(line.size() - 1);
            if (StartsWith(line, "+CREG:") && !askedForCreg) {
                // An unsolicited code takes the empty line that framed it along.
                if (lastWasGap && reply->size() >= 2)
                    reply->erase(reply->size() - 2);
                lastWasGap = false;
                continue;
            }
            *reply += line + "\r\n";
            lastWasGap = line.empty();
            if (IsFinal(line))
                return line == "OK" ? Outcome::Ok : Outcome::Error;
        }
    }
}

} // namespace

std::wstring PortName(DWORD index) {
    WCHAR name[32] = {0};
    DWORD size = sizeof(name) - sizeof(WCHAR);
    DWORD type = 0;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Drivers\\BuiltIn\\RIL", 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        LONG rc = RegQueryValueExW(key, L"ComPort", NULL, &type, (BYTE *)name, &size);
        RegCloseKey(key);
        if (rc == ERROR_SUCCESS && type == REG_SZ && name[0] != 0)
            return name;
    }
    wsprintfW(name, L"COM%lu", (unsigned long)index);
    return name;
}

bool Acquire(DWORD index) {
    EnterCriticalSection(&portLock);
    if (users > 0) {
        users++;
        LeaveCriticalSection(&portLock);
        return true;
    }
    const std::wstring device = L"\\\\.\\" + PortName(index);
    port =
        CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    bool ready = false;
    if (port != INVALID_HANDLE_VALUE) {
        // Reads return at once with what has arrived; the exchange polls.
        COMMTIMEOUTS timeouts;
        memset(&timeouts, 0, sizeof(timeouts));
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.WriteTotalTimeoutConstant = 2000;
        std::string reply;
        ready = SetCommTimeouts(port, &timeouts) &&
                PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR) &&
                ExchangeLocked("ATE0", &reply, kOpenAnswerMs) == Outcome::Ok;
        if (!ready) {
            CloseHandle(port);
            port = INVALID_HANDLE_VALUE;
        }
    }
    if (ready)
        users = 1;
    LeaveCriticalSection(&portLock);
    return ready;
}

void Release() {
    EnterCriticalSection(&portLock);
    if (users > 0 && --users == 0) {
        CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
    }
    LeaveCriticalSection(&portLock);
}

Outcome Exchange(const std::string &command, std::string *reply, DWORD limitMs) {
    EnterCriticalSection(&portLock);
    Outcome outcome = ExchangeLocked(command, reply, limitMs);
    LeaveCriticalSection(&portLock);
    return outcome;
}

} // namespace atport
