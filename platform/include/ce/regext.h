// Registry helpers of Windows Mobile (aygshell).
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Reads a REG_DWORD value of hkey\pszSubKey (pszSubKey may be null: hkey
// itself). Fails when the key or value is missing or the value is not a
// 4-byte REG_DWORD.
HRESULT RegistryGetDWORD(HKEY hkey, LPCTSTR pszSubKey, LPCTSTR pszValueName, DWORD *pdwData);
// Writes a REG_DWORD value, creating hkey\pszSubKey when it does not exist.
HRESULT RegistrySetDWORD(HKEY hkey, LPCTSTR pszSubKey, LPCTSTR pszValueName, DWORD dwData);

#ifdef __cplusplus
}
#endif
