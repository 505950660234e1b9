// Recording stand-ins for the RIL and the configuration manager.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "ril.h"

namespace fakes {

struct Ril {
    std::mutex lock;
    HRESULT initResult = S_OK;
    HRIL nextHandle = (HRIL)0x1234;
    DWORD index = 0, classes = 0;
    DWORD_PTR param = 0;
    RILRESULTCALLBACK result = nullptr;
    RILNOTIFYCALLBACK notify = nullptr;
    int initCount = 0;
    std::vector<HRIL> deinitialised;
    std::vector<std::pair<HRIL, DWORD>> operatorQueries;
    // Registration statuses that the RIL thread delivers while
    // RIL_Initialize is still running (before the caller has the handle).
    std::vector<DWORD> statusesDuringInit;
};

struct ConfigManager {
    std::mutex lock;
    std::vector<std::u16string> documents;
    DWORD flags = 0;
    HRESULT answer = S_OK;
};

Ril &TheRil();
ConfigManager &TheConfigManager();
void Reset();

} // namespace fakes
