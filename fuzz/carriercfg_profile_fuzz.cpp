// Fuzz target: CarrierCfg's profile reading and provisioning document
// (ProfileMatch.cpp and DocumentTemplate.cpp linked in). The input fills the
// registry's "\Comm\CarrierCfg" with any values of any types and sizes and
// names the operator; the driver's ProvisionForOperator runs against it. The
// configuration manager is replaced here by a checker of the document.
//
// Checks:
//   - every document the driver hands over is well-formed XML (libxml2);
//   - its structure is the template's, and the attribute values read back by
//     the XML parser are exactly the registry strings (cut to 25 characters)
//     that the driver put there, as a conforming parser reads them (line
//     breaks and tabs become spaces): escaping loses and adds nothing;
//   - a CurrentConfig that is not text (REG_SZ), is too long, or holds what
//     XML cannot carry names no entry: the document removes nothing;
//   - BuildProvisioningDocument, called directly with any record (any bytes
//     in every field, strings unterminated), stays inside its buffer and
//     builds a well-formed document;
//   - after a profile was applied, asking again for the same operator is
//     settled at once, with no second document;
//   - text that XML cannot carry in any form (C0 controls other than tab,
//     line feed and carriage return, unpaired surrogates, U+FFFE, U+FFFF) is
//     never handed over: BuildProvisioningDocument refuses it and the
//     profile is not applied;
//   - a ConfigName that fills all 25 characters is not applied;
//   - no registry handle is left open.
#include <windows.h>
#include <cfgmgrapi.h>

#include <kx_platform_test.h>
#include <kx_registry_test.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "CarrierCfg.h"
#include "fuzz_report.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::u16string &document = u"") {
    std::string d;
    for (char16_t c : document) {
        if (c >= 0x20 && c < 0x7F) {
            d += char(c);
        } else {
            char b[12];
            snprintf(b, sizeof(b), "\\u%04x", unsigned(c));
            d += b;
        }
    }
    kxfuzz::Fail("carriercfg_profile: %s\n%s", what, d.c_str());
}

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < n && pos < size; ++i)
            out.push_back(data[pos++]);
        return out;
    }
};

const WCHAR *const kValueNames[14] = {TEXT("ConfigName"),
                                      TEXT("Username"),
                                      TEXT("Password"),
                                      TEXT("Domain"),
                                      TEXT("AlwaysOn"),
                                      TEXT("BearerInfoValid"),
                                      TEXT("GPRSInfoValid"),
                                      TEXT("GPRSInfoProtocolType"),
                                      TEXT("GPRSInfoL2ProtocolType"),
                                      TEXT("GPRSInfoAccessPointName"),
                                      TEXT("GPRSInfoAddress"),
                                      TEXT("GPRSInfoDataCompression"),
                                      TEXT("GPRSInfoHeaderCompression"),
                                      TEXT("GPRSInfoParameters")};
// The document's parameter names, in the same order (ConfigName is the
// characteristic's type, not a parameter).
const char *const kParmNames[14] = {nullptr,
                                    "UserName",
                                    "Password",
                                    "Domain",
                                    "AlwaysOn",
                                    "BearerInfoValid",
                                    "GPRSInfoValid",
                                    "GPRSInfoProtocolType",
                                    "GPRSInfoL2ProtocolType",
                                    "GPRSInfoAccessPointName",
                                    "GPRSInfoAddress",
                                    "GPRSInfoDataCompression",
                                    "GPRSInfoHeaderCompression",
                                    "GPRSInfoParameters"};
const bool kIsString[14] = {true,  true,  true, true, false, false, false,
                            false, false, true, true, false, false, true};

// What the driver reads from a value of `data`: a string field of 25
// characters ends at its first zero.
std::u16string StringOf(const std::vector<uint8_t> &data) {
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size() + 1 && i / 2 < APN_PROFILE_STRING_CHARS; i += 2) {
        uint16_t lo = i < data.size() ? data[i] : 0;
        uint16_t hi = i + 1 < data.size() ? data[i + 1] : 0;
        char16_t c = char16_t(lo | (hi << 8));
        if (c == 0)
            break;
        s += c;
    }
    return s;
}

std::string Utf8(const std::u16string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// Characters that XML 1.0 does not allow in a document at all, so that no
// escaping into an attribute can carry them: C0 controls other than tab, line
// feed and carriage return, unpaired surrogates, U+FFFE and U+FFFF.
bool HasNonXmlCharacter(const std::u16string &s) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if ((c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D) || c == 0xFFFE || c == 0xFFFF)
            return true;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return true;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

// A string as the XML parser reads it back from an attribute value: a line
// end (CR LF, or CR alone) is a line feed, and tab and line feed are spaces.
std::u16string AsAttribute(const std::u16string &s) {
    std::u16string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c == u'\r' && i + 1 < s.size() && s[i + 1] == u'\n')
            ++i;
        out += (c == u'\r' || c == u'\n' || c == u'\t') ? u' ' : c;
    }
    return out;
}

// What the current call expects to see in a document.
struct Expected {
    bool active = false;
    std::u16string previous;
    std::u16string strings[14];
    uint32_t numbers[14] = {};
    bool nonXml = false; // a string that XML cannot carry
};

Expected g_expected;
int g_documents = 0;

std::string Attribute(xmlNode *node, const char *name) {
    xmlChar *v = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
    std::string s = v ? reinterpret_cast<const char *>(v) : "\x01(missing)";
    xmlFree(v);
    return s;
}

std::vector<xmlNode *> Elements(xmlNode *parent) {
    std::vector<xmlNode *> out;
    for (xmlNode *n = parent->children; n; n = n->next) {
        if (n->type == XML_ELEMENT_NODE)
            out.push_back(n);
    }
    return out;
}

bool Named(xmlNode *n, const char *name) {
    return strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}

// Parses the document; null when it is not well-formed.
xmlDoc *Parse(const std::u16string &document) {
    std::string bytes;
    for (char16_t c : document) {
        bytes += char(c & 0xFF);
        bytes += char(c >> 8);
    }
    return xmlReadMemory(bytes.data(), int(bytes.size()), "document.xml", "UTF-16LE",
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
}

void CheckStructure(xmlDoc *doc, const std::u16string &document) {
    const Expected &e = g_expected;
    xmlNode *root = xmlDocGetRootElement(doc);
    if (!root || !Named(root, "wap-provisioningdoc"))
        Fail("the root element is not wap-provisioningdoc", document);
    std::vector<xmlNode *> top = Elements(root);
    if (top.size() != 1 || !Named(top[0], "characteristic") ||
        Attribute(top[0], "type") != "CM_GPRSEntries")
        Fail("the root does not hold one CM_GPRSEntries characteristic", document);
    std::vector<xmlNode *> entries = Elements(top[0]);
    if (entries.size() != 2 || !Named(entries[0], "nocharacteristic") ||
        !Named(entries[1], "characteristic"))
        Fail("CM_GPRSEntries does not hold a removal and an entry", document);
    if (Attribute(entries[0], "type") != Utf8(AsAttribute(e.previous)))
        Fail("the removed entry is not the one applied last", document);
    if (Attribute(entries[1], "type") != Utf8(AsAttribute(e.strings[0])))
        Fail("the entry's type is not the profile's ConfigName", document);
    std::vector<xmlNode *> parms = Elements(entries[1]);
    std::vector<xmlNode *> all = parms;
    if (!parms.empty() && Named(parms.back(), "characteristic")) {
        if (Attribute(parms.back(), "type") != "DevSpecificCellular")
            Fail("the nested characteristic is not DevSpecificCellular", document);
        std::vector<xmlNode *> inner = Elements(parms.back());
        all.pop_back();
        all.insert(all.end(), inner.begin(), inner.end());
    } else {
        Fail("the entry has no DevSpecificCellular characteristic", document);
    }
    if (all.size() != 14)
        Fail("the entry does not carry fourteen parameters", document);
    if (Attribute(all[0], "name") != "DestId" ||
        Attribute(all[0], "value") != "{436EF144-B4FB-4863-A041-8F905A62C572}")
        Fail("DestId is not the Internet network", document);
    for (int i = 1; i < 14; ++i) {
        if (!Named(all[size_t(i)], "parm") || Attribute(all[size_t(i)], "name") != kParmNames[i])
            Fail("a parameter is missing or out of order", document);
        std::string want =
            kIsString[i] ? Utf8(AsAttribute(e.strings[i])) : std::to_string(int32_t(e.numbers[i]));
        if (Attribute(all[size_t(i)], "value") != want)
            Fail("a parameter's value is not the registry's", document);
    }
}

} // namespace

// The configuration manager, as the driver sees it.
extern "C" HRESULT DMProcessConfigXML(LPCWSTR xml, DWORD flags, LPWSTR *result) {
    if (!xml || !result || *result != nullptr)
        Fail("the driver called the configuration manager badly");
    if (flags != (CFGFLAG_PROCESS | CFGFLAG_METADATA))
        Fail("the driver passed other flags than process and metadata");
    std::u16string document(reinterpret_cast<const char16_t *>(xml));
    if (document.size() >= APN_DOCUMENT_CHARS)
        Fail("the document is longer than its buffer", document);
    ++g_documents;
    if (g_expected.nonXml)
        Fail("the driver handed over text that XML cannot carry", document);
    xmlDoc *doc = Parse(document);
    if (!doc)
        Fail("the driver built a document that is not well-formed XML", document);
    if (g_expected.active)
        CheckStructure(doc, document);
    xmlFreeDoc(doc);
    // On success the manager hands back a document the caller releases.
    *result = new WCHAR[4]{'<', 'o', '/', 0};
    return S_OK;
}

namespace {

void SetValue(HKEY key, const WCHAR *name, uint8_t type, const std::vector<uint8_t> &data) {
    RegSetValueExW(key, name, 0, type, data.empty() ? (const BYTE *)"" : data.data(),
                   DWORD(data.size()));
}

std::u16string Name(Reader &in, size_t max) {
    std::u16string s;
    size_t n = in.u8() % (max + 1);
    for (size_t i = 0; i < n; ++i) {
        char16_t c = char16_t(in.u16());
        // Mostly letters, so that prefixes match now and then.
        if (c & 0x8000)
            c = char16_t('A' + (c % 3) + ((c & 0x100) ? 32 : 0));
        if (c == 0 || c == '\\')
            c = 'x';
        s += c;
    }
    return s;
}

// Calls BuildProvisioningDocument with a record of any bytes.
void BuildDirectly(Reader &in) {
    ApnProfile profile;
    std::vector<uint8_t> raw = in.bytes(sizeof(profile));
    raw.resize(sizeof(profile), 'a');
    memcpy(&profile, raw.data(), sizeof(profile));
    WCHAR previous[APN_PROFILE_STRING_CHARS];
    std::vector<uint8_t> p = in.bytes(sizeof(previous));
    p.resize(sizeof(previous), 'b');
    memcpy(previous, p.data(), sizeof(previous));
    // The buffer exactly as large as the driver's.
    std::unique_ptr<WCHAR[]> document(new WCHAR[APN_DOCUMENT_CHARS]);
    bool built = BuildProvisioningDocument(previous, &profile, document.get());
    std::u16string text = built ? std::u16string(reinterpret_cast<const char16_t *>(document.get()))
                                : std::u16string();
    auto field = [](const WCHAR *f) {
        std::u16string s;
        for (size_t i = 0; i < APN_PROFILE_STRING_CHARS && f[i]; ++i)
            s += char16_t(f[i]);
        return s;
    };
    Expected &e = g_expected;
    e = Expected();
    e.active = true;
    e.previous = field(previous);
    const WCHAR *strings[14] = {profile.ConfigName,
                                profile.Username,
                                profile.Password,
                                profile.Domain,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                profile.GPRSInfoAccessPointName,
                                profile.GPRSInfoAddress,
                                nullptr,
                                nullptr,
                                profile.GPRSInfoParameters};
    const DWORD numbers[14] = {0,
                               0,
                               0,
                               0,
                               profile.AlwaysOn,
                               profile.BearerInfoValid,
                               profile.GPRSInfoValid,
                               profile.GPRSInfoProtocolType,
                               profile.GPRSInfoL2ProtocolType,
                               0,
                               0,
                               profile.GPRSInfoDataCompression,
                               profile.GPRSInfoHeaderCompression,
                               0};
    e.nonXml = HasNonXmlCharacter(e.previous);
    for (int i = 0; i < 14; ++i) {
        if (strings[i]) {
            e.strings[i] = field(strings[i]);
            e.nonXml = e.nonXml || HasNonXmlCharacter(e.strings[i]);
        }
        e.numbers[i] = numbers[i];
    }
    if (built == e.nonXml)
        Fail(built ? "BuildProvisioningDocument took text that XML cannot carry"
                   : "BuildProvisioningDocument refused a profile it can write");
    if (built) {
        xmlDoc *doc = Parse(text);
        if (!doc)
            Fail("BuildProvisioningDocument made a document that is not well-formed", text);
        CheckStructure(doc, text);
        xmlFreeDoc(doc);
    }
    e.active = false;
}

} // namespace

static void Silent(void *, const char *, ...) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("KX_DEBUG_LOG", "/dev/null", 1);
    unsetenv("KX_REGISTRY");
    xmlInitParser();
    xmlSetGenericErrorFunc(nullptr, Silent);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    uint8_t mode = in.u8();
    if (mode & 0x80) {
        BuildDirectly(in);
        return 0;
    }

    kxtest::ReloadRegistry();
    int handlesBefore = kxtest::OpenHandleCount();
    Expected &e = g_expected;
    e = Expected();

    HKEY root = NULL;
    if (!(mode & 1)) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("Comm\\CarrierCfg"), 0, NULL, 0, 0, NULL, &root,
                        NULL);
        if (mode & 2) {
            uint8_t type = in.u8() % 12;
            std::vector<uint8_t> v = in.bytes(in.u8() % 64);
            SetValue(root, TEXT("CurrentConfig"), type, v);
            if (v.size() <= 50 && type == REG_SZ && !HasNonXmlCharacter(StringOf(v)))
                e.previous = StringOf(v);
        }
    }
    std::u16string op = Name(in, 40);
    // Profiles: the first whose name is a prefix of the operator's is the
    // one whose values the document must carry.
    int profiles = root ? in.u8() % 4 : 0;
    bool matched = false;
    bool complete = true;
    bool tooLong = false;
    std::vector<std::u16string> names;
    for (int p = 0; p < profiles; ++p) {
        std::u16string name = Name(in, 36);
        if (in.u8() & 1)
            name = op.substr(0, std::min(op.size(), name.size())); // a likely match
        if (name.empty())
            name = u"x";
        // A name met before (in any case) would reopen that key.
        bool seen = false;
        for (const auto &n : names)
            seen = seen || _wcsicmp(reinterpret_cast<const WCHAR *>(n.c_str()),
                                    reinterpret_cast<const WCHAR *>(name.c_str())) == 0;
        if (seen)
            continue;
        names.push_back(name);
        HKEY profile = NULL;
        if (RegCreateKeyExW(root, reinterpret_cast<const WCHAR *>(name.c_str()), 0, NULL, 0, 0,
                            NULL, &profile, NULL) != ERROR_SUCCESS)
            continue;
        // Whether this subkey is the one the driver will pick: the first
        // whose name is a prefix of the operator's, compared as the driver
        // compares; the search stops at the first name it cannot enumerate
        // (32 or more characters).
        bool thisOne = !matched && !tooLong && name.size() < 32 &&
                       _wcsnicmp(reinterpret_cast<const WCHAR *>(op.c_str()),
                                 reinterpret_cast<const WCHAR *>(name.c_str()), name.size()) == 0;
        if (name.size() >= 32)
            tooLong = true;
        uint16_t present = in.u16();
        for (int v = 0; v < 14; ++v) {
            if (!(present & (1 << v)))
                continue;
            uint8_t type = in.u8();
            size_t length = kIsString[v] ? in.u8() % 60 : in.u8() % 8;
            std::vector<uint8_t> bytes = in.bytes(length);
            SetValue(profile, kValueNames[v], type % 12, bytes);
            if (thisOne) {
                size_t limit = kIsString[v] ? 50 : 4;
                if (bytes.size() > limit)
                    complete = false;
                if (kIsString[v]) {
                    e.strings[v] = StringOf(bytes);
                } else {
                    uint32_t n = 0;
                    for (size_t b = 0; b < bytes.size() && b < 4; ++b)
                        n |= uint32_t(bytes[b]) << (8 * b);
                    e.numbers[v] = n;
                }
            }
        }
        if (thisOne) {
            matched = true;
            complete = complete && (present & 0x3FFF) == 0x3FFF;
        }
        RegCloseKey(profile);
    }
    if (root)
        RegCloseKey(root);

    e.active = matched;
    e.nonXml = false;
    for (int v = 0; v < 14; ++v)
        e.nonXml = e.nonXml || HasNonXmlCharacter(e.strings[v]);
    // A name filling all 25 characters has no terminator: never applied.
    if (e.strings[0].size() == APN_PROFILE_STRING_CHARS)
        complete = false;

    g_documents = 0;
    bool settled = ProvisionForOperator(reinterpret_cast<const WCHAR *>(op.c_str()));
    if (kxtest::OpenHandleCount() != handlesBefore)
        Fail("ProvisionForOperator left a handle open");
    if (g_documents > 1)
        Fail("one call applied more than one document");
    if (!matched && (settled || g_documents))
        Fail("a profile was applied although none matches");
    if (g_documents == 1 && !complete)
        Fail("a profile with a missing or oversized value was applied");

    // Applied: asking again is settled at once.
    if (settled && g_documents == 1 && !e.strings[0].empty()) {
        e.previous = e.strings[0];
        g_documents = 0;
        bool again = ProvisionForOperator(reinterpret_cast<const WCHAR *>(op.c_str()));
        if (!again || g_documents != 0)
            Fail("a profile just applied is applied again");
    }
    e.active = false;
    return 0;
}
