// Link-time stand-in for the target's shell library (aygshell.dll): the
// registry helpers, the configuration manager and the menu bar. Each call
// fails without touching the system.
#include <windows.h>

// The declarations come from the CE headers once they exist; until then the
// stub declares the calls itself, with the target's signatures.
#if __has_include(<regext.h>)
#include <regext.h>
#endif
#if __has_include(<cfgmgrapi.h>)
#include <cfgmgrapi.h>
#endif
#if __has_include(<aygshell.h>)
#include <aygshell.h>
#else
typedef struct tagSHMENUBARINFO SHMENUBARINFO;
#endif

extern "C" {

HRESULT WINAPI RegistryGetDWORD(HKEY hKey, LPCWSTR pszSubKey, LPCWSTR pszValueName,
                                DWORD *pdwData) {
    return E_NOTIMPL;
}

HRESULT WINAPI RegistrySetDWORD(HKEY hKey, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwData) {
    return E_NOTIMPL;
}

// The configuration manager allocates the result document; with no
// document there is nothing to release.
HRESULT WINAPI DMProcessConfigXML(LPCWSTR pszWXMLin, DWORD dwFlags, LPWSTR *ppszwXMLout) {
    if (ppszwXMLout != NULL) {
        *ppszwXMLout = NULL;
    }
    return E_NOTIMPL;
}

BOOL WINAPI SHCreateMenuBar(SHMENUBARINFO *pmbi) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

} // extern "C"
