// The provisioning document: a wap-provisioningdoc for CM_GPRSEntries that
// removes the entry applied last and creates the profile's entry.

#include <windows.h>
#include <strsafe.h>

#include "CarrierCfg.h"

// One line, no line breaks; the runs of 3, 6 and 9 spaces between elements
// are part of the text.
const WCHAR GprsEntryTemplate[] = TEXT(
    "<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">")
    TEXT("   <nocharacteristic type=\"%s\"/>") TEXT("   <characteristic type=\"%s\">") TEXT(
        "      <parm name=\"DestId\" value=\"{436EF144-B4FB-4863-A041-8F905A62C572}\" />")
        TEXT("      <parm name=\"UserName\" value=\"%s\" />") TEXT(
            "      <parm name=\"Password\" value=\"%s\" />")
            TEXT("      <parm name=\"Domain\" value=\"%s\" />") TEXT(
                "      <parm name=\"AlwaysOn\" value=\"%d\" />")
                TEXT("      <characteristic type=\"DevSpecificCellular\">") TEXT(
                    "         <parm name=\"BearerInfoValid\" value=\"%d\" />")
                    TEXT("         <parm name=\"GPRSInfoValid\" value=\"%d\" />") TEXT(
                        "         <parm name=\"GPRSInfoProtocolType\" value=\"%d\" />")
                        TEXT("         <parm name=\"GPRSInfoL2ProtocolType\" value=\"%d\" />") TEXT(
                            "         <parm name=\"GPRSInfoAccessPointName\" value=\"%s\" />")
                            TEXT("         <parm name=\"GPRSInfoAddress\" value=\"%s\" />") TEXT(
                                "         <parm name=\"GPRSInfoDataCompression\" value=\"%d\" />")
                                TEXT("         <parm name=\"GPRSInfoHeaderCompression\" "
                                     "value=\"%d\" />")
                                    TEXT("         <parm name=\"GPRSInfoParameters\" value=\"%s\" "
                                         "/>") TEXT("      </characteristic>")
                                        TEXT("   "
                                             "</characteristic></characteristic></"
                                             "wap-provisioningdoc>");

// Copies at most APN_PROFILE_STRING_CHARS characters of `text` (fewer when
// it ends sooner) into `out` (APN_ESCAPED_STRING_CHARS + 1 characters),
// escaped for a double-quoted XML attribute value: markup characters become
// entity references. Tab, line feed and carriage return stay as they are:
// they keep the document well-formed, and a conforming parser reads each as
// a space, which gives the entry a name that the registry can store (as a
// character reference, a line break would reach the entry's key name).
// False when the text holds a character that XML cannot carry at all, not
// even as a reference (other C0 controls, an unpaired surrogate, U+FFFE,
// U+FFFF): no escaping could make such a document well-formed.
bool DocumentCanCarry(const WCHAR *text) {
    for (size_t i = 0; i < APN_PROFILE_STRING_CHARS && text[i] != 0; ++i) {
        WCHAR c = text[i];
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF ||
            (c >= 0xDC00 && c <= 0xDFFF))
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            // A pair: both halves within the field's characters.
            if (i + 1 >= APN_PROFILE_STRING_CHARS || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return false;
            ++i;
        }
    }
    return true;
}

static bool EscapeAttribute(const WCHAR *text, WCHAR *out) {
    size_t used = 0;
    out[0] = 0;
    if (!DocumentCanCarry(text))
        return false;
    for (size_t i = 0; i < APN_PROFILE_STRING_CHARS && text[i] != 0; ++i) {
        const WCHAR *replacement = NULL;
        switch (text[i]) {
        case '&':
            replacement = TEXT("&amp;");
            break;
        case '<':
            replacement = TEXT("&lt;");
            break;
        case '>':
            replacement = TEXT("&gt;");
            break;
        case '"':
            replacement = TEXT("&quot;");
            break;
        default:
            break;
        }
        if (replacement == NULL) {
            out[used++] = text[i];
        } else {
            while (*replacement != 0)
                out[used++] = *replacement++;
        }
    }
    out[used] = 0;
    return true;
}

bool BuildProvisioningDocument(const WCHAR *previousEntry, const ApnProfile *profile,
                               WCHAR *document) {
    WCHAR previous[APN_ESCAPED_STRING_CHARS + 1];
    WCHAR configName[APN_ESCAPED_STRING_CHARS + 1];
    WCHAR userName[APN_ESCAPED_STRING_CHARS + 1];
    WCHAR password[APN_ESCAPED_STRING_CHARS + 1];
    WCHAR domain[APN_ESCAPED_STRING_CHARS + 1];
    WCHAR accessPointName[APN_ESCAPED_STRING_CHARS + 1];
    WCHAR address[APN_ESCAPED_STRING_CHARS + 1];
    WCHAR parameters[APN_ESCAPED_STRING_CHARS + 1];

    if (!EscapeAttribute(previousEntry, previous) ||
        !EscapeAttribute(profile->ConfigName, configName) ||
        !EscapeAttribute(profile->Username, userName) ||
        !EscapeAttribute(profile->Password, password) ||
        !EscapeAttribute(profile->Domain, domain) ||
        !EscapeAttribute(profile->GPRSInfoAccessPointName, accessPointName) ||
        !EscapeAttribute(profile->GPRSInfoAddress, address) ||
        !EscapeAttribute(profile->GPRSInfoParameters, parameters))
        return false;

    HRESULT hr = StringCchPrintfW(
        document, APN_DOCUMENT_CHARS, GprsEntryTemplate, previous, configName, userName, password,
        domain, (int)profile->AlwaysOn, (int)profile->BearerInfoValid, (int)profile->GPRSInfoValid,
        (int)profile->GPRSInfoProtocolType, (int)profile->GPRSInfoL2ProtocolType, accessPointName,
        address, (int)profile->GPRSInfoDataCompression, (int)profile->GPRSInfoHeaderCompression,
        parameters);
    return SUCCEEDED(hr);
}
