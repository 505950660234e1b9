// The configuration manager: DMProcessConfigXML.
//
// The document is parsed with libxml2, a conforming XML 1.0 parser, so that
// anything that is not well-formed is refused rather than guessed at. A
// document type declaration is refused too: provisioning documents have none,
// and refusing it keeps entity expansion out of the manager's way. The whole
// document is checked and turned into a plan before the registry is touched,
// so a document that is refused changes nothing.
//
// Known characteristic: CM_GPRSEntries, kept under HKEY_LOCAL_MACHINE
// "Comm\ConnMgr\GPRSEntries". Inside it, a nocharacteristic removes the entry
// named by its type (an empty type names no entry and removes nothing), a
// characteristic creates the entry or replaces it entirely: one value per
// parm, nested characteristics as subkeys, nested nocharacteristics remove a
// subkey.

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <windows.h>

#include "cfgmgrapi.h"
#include "kx_internal.h"
#include "kx_platform_ext.h"

namespace {

const WCHAR kGprsEntriesPath[] = u"Comm\\ConnMgr\\GPRSEntries";
const char kGprsEntries[] = "CM_GPRSEntries";

// Parameters of CM_GPRSEntries whose values are text even when they look
// like numbers (a password of digits stays text).
const char *const kTextParameters[] = {
    "DestId",          "UserName",           "Password",   "Domain", "GPRSInfoAccessPointName",
    "GPRSInfoAddress", "GPRSInfoParameters", "Description"};

struct Parameter {
    std::u16string name;
    bool number = false;
    DWORD value = 0;
    std::u16string text;
};

struct Characteristic {
    std::u16string name;
    std::vector<Parameter> parameters;
    std::vector<std::u16string> removals; // nested nocharacteristics
    std::vector<Characteristic> children;
};

// One step of the plan, in document order.
struct Step {
    bool remove = false;
    Characteristic entry; // for a removal only its name is set
};

// UTF-8 from libxml2 (already validated by the parser) to UTF-16.
std::u16string FromUtf8(const xmlChar *text) {
    return kx::Utf8ToUtf16(text ? (const char *)text : "");
}

bool IsElement(xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && node->ns == nullptr &&
           strcmp((const char *)node->name, name) == 0;
}

// Whitespace text, comments and processing instructions carry nothing;
// anything else that is not an element makes the structure unknown.
bool Ignorable(xmlNode *node) {
    if (node->type == XML_COMMENT_NODE || node->type == XML_PI_NODE)
        return true;
    if (node->type == XML_TEXT_NODE) {
        for (const xmlChar *p = node->content; p && *p; ++p) {
            if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n')
                return false;
        }
        return true;
    }
    return false;
}

// An attribute as text; `present` tells whether it was there at all.
std::string Attribute(xmlNode *node, const char *name, bool *present) {
    xmlChar *v = xmlGetNoNsProp(node, (const xmlChar *)name);
    *present = v != nullptr;
    std::string s = v ? (const char *)v : "";
    xmlFree(v);
    return s;
}

// A registry key name: not empty, no backslash (which would reach into
// other keys), at most 255 characters, and one the registry can store (a
// character reference can put a line break into it).
bool ValidKeyName(const std::u16string &name) {
    return !name.empty() && name.size() <= 255 && name.find(u'\\') == std::u16string::npos &&
           KxRegistryNameStorable(name.c_str());
}

// Decimal 32-bit number: "-1" is 0xFFFFFFFF. No sign but minus, no leading
// zeros, no spaces.
bool ParseNumber(const std::string &s, DWORD *value) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && s[i] == '-') {
        negative = true;
        ++i;
    }
    if (i >= s.size() || s.size() - i > 10 || (s[i] == '0' && s.size() - i > 1))
        return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + uint64_t(s[i] - '0');
    }
    if (negative ? v > 0x80000000ull : v > 0xFFFFFFFFull)
        return false;
    if (negative && v == 0)
        return false;
    *value = negative ? DWORD(0u - uint32_t(v)) : DWORD(v);
    return true;
}

bool ReadParameter(xmlNode *node, Parameter *out) {
    bool present = false;
    std::string name = Attribute(node, "name", &present);
    if (!present || name.empty())
        return false;
    std::string value = Attribute(node, "value", &present);
    std::string datatype = Attribute(node, "datatype", &present);
    out->name = FromUtf8((const xmlChar *)name.c_str());
    if (out->name.size() > 16383 || !KxRegistryNameStorable(out->name.c_str()))
        return false;
    bool text = false;
    for (const char *t : kTextParameters) {
        if (name == t)
            text = true;
    }
    if (present && (datatype == "integer" || datatype == "boolean")) {
        if (!ParseNumber(value, &out->value))
            return false;
        out->number = true;
    } else if (present && datatype != "string") {
        return false;
    } else if (!present && !text && ParseNumber(value, &out->value)) {
        out->number = true;
    }
    if (!out->number)
        out->text = FromUtf8((const xmlChar *)value.c_str());
    for (xmlNode *c = node->children; c; c = c->next) {
        if (!Ignorable(c))
            return false;
    }
    return true;
}

bool ReadCharacteristic(xmlNode *node, Characteristic *out) {
    bool present = false;
    std::string type = Attribute(node, "type", &present);
    out->name = FromUtf8((const xmlChar *)type.c_str());
    if (!ValidKeyName(out->name))
        return false;
    for (xmlNode *c = node->children; c; c = c->next) {
        if (IsElement(c, "parm")) {
            Parameter p;
            if (!ReadParameter(c, &p))
                return false;
            out->parameters.push_back(p);
        } else if (IsElement(c, "characteristic")) {
            Characteristic child;
            if (!ReadCharacteristic(c, &child))
                return false;
            out->children.push_back(child);
        } else if (IsElement(c, "nocharacteristic")) {
            std::u16string name = FromUtf8((const xmlChar *)Attribute(c, "type", &present).c_str());
            if (!present || (!name.empty() && !ValidKeyName(name)))
                return false;
            if (!name.empty())
                out->removals.push_back(name);
        } else if (!Ignorable(c)) {
            return false;
        }
    }
    return true;
}

// Turns the document into the plan; false when it holds anything the
// manager does not know.
bool BuildPlan(xmlDoc *doc, std::vector<Step> *plan) {
    xmlNode *root = xmlDocGetRootElement(doc);
    if (!root || !IsElement(root, "wap-provisioningdoc"))
        return false;
    for (xmlNode *c = root->children; c; c = c->next) {
        if (Ignorable(c))
            continue;
        bool present = false;
        if (!IsElement(c, "characteristic") || Attribute(c, "type", &present) != kGprsEntries)
            return false;
        for (xmlNode *e = c->children; e; e = e->next) {
            if (Ignorable(e))
                continue;
            Step step;
            if (IsElement(e, "nocharacteristic")) {
                step.remove = true;
                step.entry.name = FromUtf8((const xmlChar *)Attribute(e, "type", &present).c_str());
                if (!present || (!step.entry.name.empty() && !ValidKeyName(step.entry.name)))
                    return false;
                for (xmlNode *k = e->children; k; k = k->next) {
                    if (!Ignorable(k))
                        return false;
                }
                if (step.entry.name.empty())
                    continue; // names no entry: nothing to remove
            } else if (IsElement(e, "characteristic")) {
                if (!ReadCharacteristic(e, &step.entry))
                    return false;
            } else {
                return false;
            }
            plan->push_back(step);
        }
    }
    return true;
}

LONG WriteCharacteristic(HKEY parent, const Characteristic &c) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(parent, c.name.c_str(), 0, nullptr, 0, 0, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    for (const auto &p : c.parameters) {
        if (rc != ERROR_SUCCESS)
            break;
        if (p.number)
            rc = RegSetValueExW(key, p.name.c_str(), 0, REG_DWORD, (const BYTE *)&p.value, 4);
        else
            rc = RegSetValueExW(key, p.name.c_str(), 0, REG_SZ, (const BYTE *)p.text.c_str(),
                                DWORD((p.text.size() + 1) * sizeof(WCHAR)));
    }
    for (const auto &name : c.removals) {
        if (rc != ERROR_SUCCESS)
            break;
        LONG d = RegDeleteKeyW(key, name.c_str());
        if (d != ERROR_SUCCESS && d != ERROR_FILE_NOT_FOUND)
            rc = d;
    }
    for (const auto &child : c.children) {
        if (rc != ERROR_SUCCESS)
            break;
        rc = WriteCharacteristic(key, child);
    }
    RegCloseKey(key);
    return rc;
}

LONG Apply(const std::vector<Step> &plan) {
    HKEY entries = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGprsEntriesPath, 0, nullptr, 0, 0, nullptr,
                              &entries, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    for (const auto &step : plan) {
        // Both a removal and a replacement start by removing the entry.
        LONG d = RegDeleteKeyW(entries, step.entry.name.c_str());
        if (d != ERROR_SUCCESS && d != ERROR_FILE_NOT_FOUND) {
            rc = d;
            break;
        }
        if (!step.remove) {
            rc = WriteCharacteristic(entries, step.entry);
            if (rc != ERROR_SUCCESS)
                break;
        }
    }
    RegCloseKey(entries);
    return rc;
}

// Applies are serialised, so that two documents do not interleave their
// registry changes. Leaf lock: only the registry's own lock is taken under
// it.
std::mutex &ApplyLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

extern "C" HRESULT DMProcessConfigXML(LPCWSTR pszWXMLin, DWORD dwFlags, LPWSTR *ppszwXMLout) {
    if (ppszwXMLout)
        *ppszwXMLout = nullptr;
    if (!pszWXMLin || !ppszwXMLout)
        return E_INVALIDARG;
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });

    // A lone surrogate keeps its own three-byte form, which is not UTF-8:
    // the parser refuses the document rather than read a replacement.
    size_t length = 0;
    while (pszWXMLin[length])
        ++length;
    std::string text = kx::Utf16ToUtf8Lossless(std::u16string(pszWXMLin, length));
    xmlDoc *doc = xmlReadMemory(text.data(), int(text.size()), "config.xml", "UTF-8",
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                    XML_PARSE_IGNORE_ENC);
    if (!doc)
        return CONFIG_E_BAD_XML;
    if (doc->intSubset || doc->extSubset) {
        xmlFreeDoc(doc);
        return CONFIG_E_BAD_XML;
    }
    std::vector<Step> plan;
    bool known = BuildPlan(doc, &plan);
    xmlFreeDoc(doc);
    if (!known)
        return CONFIG_E_CSPEXCEPTION;

    if (dwFlags & CFGFLAG_PROCESS) {
        std::lock_guard<std::mutex> guard(ApplyLock());
        LONG rc = Apply(plan);
        if (rc != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(rc);
    }
    WCHAR *result = new WCHAR[length + 1];
    memcpy(result, pszWXMLin, (length + 1) * sizeof(WCHAR));
    *ppszwXMLout = result;
    return S_OK;
}
