// RegistryGetDWORD and RegistrySetDWORD: one REG_DWORD value in one call.

#include <windows.h>

#include "regext.h"

namespace {

const LONG kErrorInvalidData = 13; // ERROR_INVALID_DATA

} // namespace

extern "C" HRESULT RegistryGetDWORD(HKEY hkey, LPCTSTR pszSubKey, LPCTSTR pszValueName,
                                    DWORD *pdwData) {
    if (!pdwData)
        return E_INVALIDARG;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(hkey, pszSubKey, 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    DWORD type = 0, value = 0, size = sizeof(value);
    rc = RegQueryValueExW(key, pszValueName, nullptr, &type, (LPBYTE)&value, &size);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof(value)))
        rc = kErrorInvalidData;
    if (rc == ERROR_MORE_DATA)
        rc = kErrorInvalidData;
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    *pdwData = value;
    return S_OK;
}

extern "C" HRESULT RegistrySetDWORD(HKEY hkey, LPCTSTR pszSubKey, LPCTSTR pszValueName,
                                    DWORD dwData) {
    HKEY key = nullptr;
    LONG rc =
        RegCreateKeyExW(hkey, pszSubKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    rc = RegSetValueExW(key, pszValueName, 0, REG_DWORD, (const BYTE *)&dwData, sizeof(dwData));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}
