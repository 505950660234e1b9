// The module's AT text as the RIL reads it: which line ends a reply, the
// fields of a "+XXX: a,b,c" line, and the records a finished reply becomes
// (RILOPERATORNAMES from +COPS, RILEQUIPMENTSTATE from +CFUN, the raw text
// of a device-specific command). Pure functions of the text.
#pragma once

#include <windows.h>

#include "ril.h"

#include <string>
#include <vector>

namespace kx {
namespace at {

bool StartsWithNoCase(const std::string &s, const char *prefix);
// OK, ERROR, +CME ERROR, +CMS ERROR, NO CARRIER, BUSY, NO ANSWER, NO DIALTONE.
bool IsFinalResult(const std::string &line);
// 3GPP 27.007 registration status (+CREG) to the RIL's.
DWORD RegistrationStatus(long stat);
// Splits the part after "+XXX: " at commas outside quotes; quoted fields
// keep their quotes.
std::vector<std::string> Fields(const std::string &line);
bool Unquote(const std::string &field, std::string *out);
bool ParseLong(const std::string &field, long *value);

// The records of a reply that ended in OK (its lines, final result
// included); false when the reply does not carry what the record needs.
bool OperatorNames(const std::vector<std::string> &reply, DWORD format, RILOPERATORNAMES *names);
bool EquipmentState(const std::vector<std::string> &reply, RILEQUIPMENTSTATE *state);
// The reply as a device-specific command answers it: every line ended by
// CR LF, the final result included.
std::string RawText(const std::vector<std::string> &reply);

} // namespace at
} // namespace kx
