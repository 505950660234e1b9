// Profile matching: finds the operator's profile under HKEY_LOCAL_MACHINE
// "\Comm\CarrierCfg" and hands its provisioning document to the
// configuration manager.
//
// Registry layout: value CurrentConfig (REG_SZ, the ConfigName applied last)
// and one subkey per profile, named by the operator-name prefix that selects
// it, with fourteen values. Values are read by size alone, never by type:
// strings with a limit of 50 bytes, numbers with a limit of 4 bytes into a
// zeroed field.

#include <windows.h>
#include <cfgmgrapi.h>
#include <dbgapi.h>
#include <string.h>

#include "CarrierCfg.h"

#define STRING_VALUE_BYTES 50
#define NUMBER_VALUE_BYTES 4
#define SUBKEY_NAME_CHARS 32
#define PREVIOUS_ENTRY_CHARS 32

// Reads a value into a zeroed field of `limit` bytes. True when the value
// exists and its data fits the limit; the field is left zeroed otherwise.
static bool ReadProfileValue(HKEY key, const WCHAR *name, void *field, DWORD limit) {
    DWORD size = limit;
    memset(field, 0, limit);
    if (RegQueryValueExW(key, name, NULL, NULL, (LPBYTE)field, &size) != ERROR_SUCCESS) {
        memset(field, 0, limit);
        return false;
    }
    return true;
}

// The thirteen values after ConfigName, in the registry table's order.
static bool ReadProfileSettings(HKEY key, ApnProfile *profile) {
    bool ok = true;
    ok = ReadProfileValue(key, TEXT("Username"), profile->Username, STRING_VALUE_BYTES) && ok;
    ok = ReadProfileValue(key, TEXT("Password"), profile->Password, STRING_VALUE_BYTES) && ok;
    ok = ReadProfileValue(key, TEXT("Domain"), profile->Domain, STRING_VALUE_BYTES) && ok;
    ok = ReadProfileValue(key, TEXT("AlwaysOn"), &profile->AlwaysOn, NUMBER_VALUE_BYTES) && ok;
    ok = ReadProfileValue(key, TEXT("BearerInfoValid"), &profile->BearerInfoValid,
                          NUMBER_VALUE_BYTES) &&
         ok;
    ok =
        ReadProfileValue(key, TEXT("GPRSInfoValid"), &profile->GPRSInfoValid, NUMBER_VALUE_BYTES) &&
        ok;
    ok = ReadProfileValue(key, TEXT("GPRSInfoProtocolType"), &profile->GPRSInfoProtocolType,
                          NUMBER_VALUE_BYTES) &&
         ok;
    ok = ReadProfileValue(key, TEXT("GPRSInfoL2ProtocolType"), &profile->GPRSInfoL2ProtocolType,
                          NUMBER_VALUE_BYTES) &&
         ok;
    ok = ReadProfileValue(key, TEXT("GPRSInfoAccessPointName"), profile->GPRSInfoAccessPointName,
                          STRING_VALUE_BYTES) &&
         ok;
    ok = ReadProfileValue(key, TEXT("GPRSInfoAddress"), profile->GPRSInfoAddress,
                          STRING_VALUE_BYTES) &&
         ok;
    ok = ReadProfileValue(key, TEXT("GPRSInfoDataCompression"), &profile->GPRSInfoDataCompression,
                          NUMBER_VALUE_BYTES) &&
         ok;
    ok = ReadProfileValue(key, TEXT("GPRSInfoHeaderCompression"),
                          &profile->GPRSInfoHeaderCompression, NUMBER_VALUE_BYTES) &&
         ok;
    ok = ReadProfileValue(key, TEXT("GPRSInfoParameters"), profile->GPRSInfoParameters,
                          STRING_VALUE_BYTES) &&
         ok;
    return ok;
}

// Hands the document to the configuration manager and records the entry
// as applied. False, with CurrentConfig untouched, when the manager refused
// the document.
static bool ApplyProfile(HKEY root, const WCHAR *operatorName, const WCHAR *previousEntry,
                         const ApnProfile *profile) {
    WCHAR document[APN_DOCUMENT_CHARS];
    if (!BuildProvisioningDocument(previousEntry, profile, document)) {
        NKDbgPrintfW(TEXT("CarrierCfg: Profile for %s holds text that XML cannot carry \r\n"),
                     operatorName);
        return false;
    }

    LPWSTR result = NULL;
    HRESULT hr = DMProcessConfigXML(document, CFGFLAG_PROCESS | CFGFLAG_METADATA, &result);
    delete[] result;
    if (FAILED(hr)) {
        NKDbgPrintfW(TEXT("CarrierCfg: Configuration for %s rejected, error 0x%08x \r\n"),
                     operatorName, (unsigned int)hr);
        return false;
    }
    NKDbgPrintfW(TEXT("CarrierCfg: Applied configuration for %s \r\n"), operatorName);

    // ConfigName with its terminator; the field need not hold one.
    WCHAR configName[APN_PROFILE_STRING_CHARS + 1];
    size_t length = 0;
    while (length < APN_PROFILE_STRING_CHARS && profile->ConfigName[length] != 0) {
        configName[length] = profile->ConfigName[length];
        ++length;
    }
    configName[length] = 0;
    RegSetValueExW(root, TEXT("CurrentConfig"), 0, REG_SZ, (const BYTE *)configName,
                   (DWORD)((length + 1) * sizeof(WCHAR)));
    return true;
}

// The entry name applied last, from CurrentConfig, into a zeroed buffer of
// PREVIOUS_ENTRY_CHARS characters. The read limit (25 characters) is below
// the buffer's 32, so the name is always terminated. A CurrentConfig that is
// not text (REG_SZ), is too long, or holds what the document cannot carry
// names no entry this driver applied: it is taken as empty, so that the
// document removes nothing, rather than block every profile for good.
static void ReadPreviousEntry(HKEY root, WCHAR *previousEntry) {
    const DWORD bufferBytes = PREVIOUS_ENTRY_CHARS * sizeof(WCHAR);
    memset(previousEntry, 0, bufferBytes);
    DWORD type = REG_NONE;
    DWORD size = STRING_VALUE_BYTES;
    LONG rc =
        RegQueryValueExW(root, TEXT("CurrentConfig"), NULL, &type, (LPBYTE)previousEntry, &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return; // nothing applied yet
    if (rc == ERROR_SUCCESS && type == REG_SZ && DocumentCanCarry(previousEntry)) {
        NKDbgPrintfW(TEXT("CarrierCfg: Current Configuration: %s \r\n"), previousEntry);
        return;
    }
    memset(previousEntry, 0, bufferBytes);
    NKDbgPrintfW(TEXT("CarrierCfg: Current Configuration is not a usable entry name (type %u, ")
                     TEXT("%u bytes); taken as empty \r\n"),
                 (unsigned int)type, (unsigned int)size);
}

bool ProvisionForOperator(const WCHAR *operatorName) {
    HKEY root = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("\\Comm\\CarrierCfg"), 0, 0, &root) != ERROR_SUCCESS)
        return false;

    WCHAR previousEntry[PREVIOUS_ENTRY_CHARS];
    ReadPreviousEntry(root, previousEntry);

    WCHAR subkeyName[SUBKEY_NAME_CHARS];
    for (DWORD index = 0;; ++index) {
        DWORD length = SUBKEY_NAME_CHARS;
        memset(subkeyName, 0, sizeof(subkeyName));
        if (RegEnumKeyExW(root, index, subkeyName, &length, NULL, NULL, NULL, NULL) !=
            ERROR_SUCCESS) {
            NKDbgPrintfW(TEXT("CarrierCfg: Couldn't find %s in registry\r\n"), operatorName);
            RegCloseKey(root);
            return false;
        }
        NKDbgPrintfW(TEXT("CarrierCfg: Found %s in registry \r\n"), subkeyName);
        if (_wcsnicmp(operatorName, subkeyName, length) == 0)
            break;
    }
    NKDbgPrintfW(TEXT("CarrierCfg: Found match \r\n"));

    HKEY profileKey = NULL;
    if (RegOpenKeyExW(root, subkeyName, 0, 0, &profileKey) != ERROR_SUCCESS) {
        RegCloseKey(root);
        return false;
    }

    ApnProfile profile;
    memset(&profile, 0, sizeof(profile));
    bool complete =
        ReadProfileValue(profileKey, TEXT("ConfigName"), profile.ConfigName, STRING_VALUE_BYTES);
    // A name that fills all 25 characters has no terminator: stored back as
    // CurrentConfig it would take 52 bytes, more than CurrentConfig is read
    // with, so the profile would never be found current again. It is as
    // unreadable as a 25-character name with its terminator.
    if (profile.ConfigName[APN_PROFILE_STRING_CHARS - 1] != 0)
        complete = false;

    // Already current: the same entry name (case-sensitive, 25 characters);
    // an empty name is never current.
    if (previousEntry[0] != 0 && profile.ConfigName[0] != 0 &&
        wcsncmp(previousEntry, profile.ConfigName, APN_PROFILE_STRING_CHARS) == 0) {
        RegCloseKey(profileKey);
        RegCloseKey(root);
        return true;
    }

    complete = ReadProfileSettings(profileKey, &profile) && complete;
    bool settled = complete && ApplyProfile(root, operatorName, previousEntry, &profile);
    RegCloseKey(profileKey);
    RegCloseKey(root);
    return settled;
}
