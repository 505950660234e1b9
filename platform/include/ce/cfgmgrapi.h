// Configuration manager of Windows Mobile (aygshell): applies a
// wap-provisioningdoc. The host's manager parses the document with a real XML
// parser and knows the characteristic CM_GPRSEntries, which it applies to the
// registry under HKEY_LOCAL_MACHINE "Comm\ConnMgr\GPRSEntries\<entry>".
#pragma once

#include <windows.h>

#define CFGFLAG_PROCESS 0x0001u
#define CFGFLAG_METADATA 0x0002u

// Failures of DMProcessConfigXML.
#define CONFIG_E_OBJECTBUSY ((HRESULT)0x80042001L)
#define CONFIG_E_ENTRYNOTFOUND ((HRESULT)0x80042004L)
#define CONFIG_E_CSPEXCEPTION ((HRESULT)0x80042007L)
#define CONFIG_E_BAD_XML ((HRESULT)0x80042009L)

#ifdef __cplusplus
extern "C" {
#endif

// Processes the document. A document that is not well-formed XML gives
// CONFIG_E_BAD_XML; one with an element or characteristic the manager does
// not know gives CONFIG_E_CSPEXCEPTION; in both cases nothing is changed.
// On success *ppszwXMLout receives the processed document, allocated with
// new[]: the caller releases it with delete[]. It is null after a failure.
HRESULT DMProcessConfigXML(LPCWSTR pszWXMLin, DWORD dwFlags, LPWSTR *ppszwXMLout);

#ifdef __cplusplus
}
#endif
