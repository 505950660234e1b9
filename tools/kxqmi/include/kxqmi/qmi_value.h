// Reading TLV values by their layout in the QMI table (see qmi_table.h for
// the layout language): the text that traces show for a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kxqmi {

// "name=value name=value ..." for a value read by `layout`; enumerations by
// label ("connection_status=connected"), addresses dotted, text quoted,
// lists in brackets. A value shorter than its layout ends with "(short)",
// one with bytes left over with "(+N bytes)". Secret fields show "********"
// unless `showSecrets`.
std::string DecodeValue(const char *layout, const uint8_t *value, size_t size, bool showSecrets);

// True when the layout holds a secret field (its bytes are not to be shown
// either, unless asked for).
bool LayoutHasSecret(const char *layout);

// Checks a layout's syntax, kinds and enumerations; false and *why if wrong.
bool CheckLayout(const char *layout, std::string *why);

// The named fields of a layout, lists' own count fields included.
struct LayoutField {
    std::string kind, name, enumeration;
};
std::vector<LayoutField> LayoutFields(const char *layout);

} // namespace kxqmi
