#include "fakes.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "cfgmgrapi.h"

namespace fakes {

Ril &TheRil() {
    static Ril ril;
    return ril;
}

ConfigManager &TheConfigManager() {
    static ConfigManager cm;
    return cm;
}

void Reset() {
    Ril &r = TheRil();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.initResult = S_OK;
        r.initCount = 0;
        r.result = nullptr;
        r.notify = nullptr;
        r.deinitialised.clear();
        r.operatorQueries.clear();
        r.statusesDuringInit.clear();
    }
    ConfigManager &c = TheConfigManager();
    std::lock_guard<std::mutex> guard(c.lock);
    c.documents.clear();
    c.answer = S_OK;
}

} // namespace fakes

extern "C" HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult,
                                  RILNOTIFYCALLBACK pfnNotify, DWORD dwNotificationClasses,
                                  DWORD_PTR dwParam, HRIL *lphRil) {
    fakes::Ril &r = fakes::TheRil();
    std::vector<DWORD> early;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        ++r.initCount;
        r.index = dwIndex;
        r.classes = dwNotificationClasses;
        r.param = dwParam;
        r.result = pfnResult;
        r.notify = pfnNotify;
        if (FAILED(r.initResult))
            return r.initResult;
        early = r.statusesDuringInit;
    }
    // The RIL thread is up and reports the registration before this call
    // has returned the handle.
    std::thread ril([&] {
        for (DWORD status : early)
            pfnNotify(RIL_NOTIFY_REGSTATUSCHANGED, &status, sizeof(status), dwParam);
    });
    ril.join();
    *lphRil = r.nextHandle;
    return S_OK;
}

extern "C" HRESULT RIL_Deinitialize(HRIL hRil) {
    fakes::Ril &r = fakes::TheRil();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.deinitialised.push_back(hRil);
    }
    // A real close takes a while (it waits for the RIL thread): long
    // enough for another thread to look at the driver's handle meanwhile.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    return S_OK;
}

extern "C" HRESULT RIL_GetCurrentOperator(HRIL hRil, DWORD dwFormat) {
    fakes::Ril &r = fakes::TheRil();
    std::lock_guard<std::mutex> guard(r.lock);
    r.operatorQueries.push_back({hRil, dwFormat});
    return 7;
}

extern "C" HRESULT DMProcessConfigXML(LPCWSTR pszWXMLin, DWORD dwFlags, LPWSTR *ppszwXMLout) {
    fakes::ConfigManager &c = fakes::TheConfigManager();
    std::lock_guard<std::mutex> guard(c.lock);
    c.documents.push_back(pszWXMLin);
    c.flags = dwFlags;
    // The result document comes back also on failure: the caller must
    // release it either way.
    size_t n = c.documents.back().size();
    *ppszwXMLout = new WCHAR[n + 1];
    memcpy(*ppszwXMLout, pszWXMLin, (n + 1) * sizeof(WCHAR));
    return c.answer;
}
