// CarrierCfg: provisions the packet-data connection entry for the operator
// of the inserted SIM. The device manager loads it as the stream driver APN;
// it watches the radio through the RIL and, on registration on the home
// network, applies the operator's profile from the registry.
#pragma once

#include <windows.h>

// Debug messages of the driver begin with this prefix.
#define CARRIERCFG_PREFIX TEXT("CarrierCfg: ")

// Lengths, in wide characters.
#define APN_PROFILE_STRING_CHARS 25 // a profile string value (50 bytes)
#define APN_OPERATOR_NAME_CHARS 260 // the operator name handed to the matcher

// One operator profile as read from its registry subkey, fields in the order
// of the registry values. A string field ends at its first zero or at the
// end of its 25 characters.
struct ApnProfile {
    WCHAR ConfigName[APN_PROFILE_STRING_CHARS];
    WCHAR Username[APN_PROFILE_STRING_CHARS];
    WCHAR Password[APN_PROFILE_STRING_CHARS];
    WCHAR Domain[APN_PROFILE_STRING_CHARS];
    DWORD AlwaysOn;
    DWORD BearerInfoValid;
    DWORD GPRSInfoValid;
    DWORD GPRSInfoProtocolType;
    DWORD GPRSInfoL2ProtocolType;
    WCHAR GPRSInfoAccessPointName[APN_PROFILE_STRING_CHARS];
    WCHAR GPRSInfoAddress[APN_PROFILE_STRING_CHARS];
    DWORD GPRSInfoDataCompression;
    DWORD GPRSInfoHeaderCompression;
    WCHAR GPRSInfoParameters[APN_PROFILE_STRING_CHARS];
};

// An inserted string grows at most sixfold when escaped ("&quot;").
#define APN_ESCAPED_STRING_CHARS (APN_PROFILE_STRING_CHARS * 6)

// The document's fixed text is 956 characters; it carries eight strings and
// seven numbers of at most 11 characters each, plus the terminator.
#define APN_DOCUMENT_CHARS (956 + 8 * APN_ESCAPED_STRING_CHARS + 7 * 11 + 1)

// True when the document can carry the text (at most its first 25
// characters) in an attribute value: no control character but tab, line feed
// and carriage return, no unpaired surrogate, neither U+FFFE nor U+FFFF.
bool DocumentCanCarry(const WCHAR *text);

// The provisioning document's template (986 characters).
extern const WCHAR GprsEntryTemplate[];

// Formats the provisioning document that removes the entry `previousEntry`
// and creates the profile's entry. Every inserted string is escaped for an
// XML attribute value; at most 25 characters of `previousEntry` and of each
// profile string are used. `document` holds APN_DOCUMENT_CHARS characters.
// Returns true when the document was formatted completely.
bool BuildProvisioningDocument(const WCHAR *previousEntry, const ApnProfile *profile,
                               WCHAR *document);

// Applies the first registry profile whose name is a case-insensitive prefix
// of the operator name, unless it is the one applied last. True when the
// configuration is settled (the profile was current, or has just been
// applied); false when nothing was applied and a later attempt may succeed.
bool ProvisionForOperator(const WCHAR *operatorName);
