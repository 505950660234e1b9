// The registry: an in-memory tree of keys and values with Win32 / Windows CE
// semantics, optionally backed by a REGEDIT4 file (KX_REGISTRY).
//
// Keys keep their subkeys and values in creation order, which is the order of
// enumeration (and, for a loaded file, the file's order). Names compare
// case-insensitively. A handle holds a reference to its key; a deleted key
// stays alive for the handles that still refer to it, which then report
// ERROR_KEY_DELETED.
//
// The file is read at first use. Every change rewrites it: the whole
// registry goes to a new file beside it, which then replaces the old one by
// rename, so a crash leaves either the old or the new registry, never a mix.
// A file that cannot be parsed is left alone: the registry then stays in
// memory only, rather than overwrite what it could not read.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

// The C++ library first: winnls.h adds 16-bit overloads of wcstol and
// friends that its string header must not see.
#include <windows.h>

#include "kx_internal.h"
#include "kx_registry_test.h"

namespace {

const DWORD kMaxKeyNameLength = 255;
const DWORD kMaxValueNameLength = 16383;

struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string name;
    std::vector<std::shared_ptr<Key>> subkeys; // creation order
    std::vector<Value> values;                 // creation order
    bool deleted = false;
};

// An open key is an object of the platform's handle table, so it counts
// among the process's open handles.
struct KeyHandle : kx::Object {
    KeyHandle() : kx::Object(kx::ObjectKind::RegistryKey) {}
    static bool HoldsKind(kx::ObjectKind k) { return k == kx::ObjectKind::RegistryKey; }
    std::shared_ptr<Key> key;
};

const char *const kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                  "HKEY_USERS"};
const int kRootCount = 4;

// The one registry of the process. `lock` guards every member and every Key
// reachable from them; it is a leaf lock (no other lock is taken while it is
// held). Saving happens under it, so that saves reach the file in the order
// of the changes.
struct Registry {
    std::mutex lock;
    bool loaded = false;
    std::shared_ptr<Key> roots[kRootCount];
    std::unordered_set<HANDLE> handles; // open key handles, for ReloadRegistry
    std::string path;                   // KX_REGISTRY, empty: memory only
    bool persist = false;               // the file may be written
};

// Never destroyed: registry calls stay valid in other libraries' destructors
// at process exit.
Registry &Reg() {
    static Registry *registry = new Registry;
    return *registry;
}

// ---- text helpers ---------------------------------------------------------------

char16_t Fold(char16_t c) {
    if (c >= u'A' && c <= u'Z')
        return char16_t(c + 32);
    if (c < 0x80)
        return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return char16_t(c + 32);
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
        return char16_t(c + 32);
    if (c >= 0x410 && c <= 0x42F)
        return char16_t(c + 32);
    if (c >= 0x400 && c <= 0x40F)
        return char16_t(c + 80);
    return c;
}

bool SameName(const std::u16string &a, const std::u16string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    }
    return true;
}

std::u16string FromWide(LPCWSTR s) {
    if (!s)
        return std::u16string();
    return std::u16string(s);
}

void AppendUtf8(std::string &out, uint32_t cp) {
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

// UTF-16 to UTF-8; a lone surrogate is written as its own three-byte form so
// that nothing is lost.
std::string ToUtf8(const std::u16string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);
    }
    return out;
}

// UTF-8 to UTF-16; a byte that does not begin a valid sequence is taken as
// ISO 8859-1, so that an 8-bit REGEDIT4 file still loads.
std::u16string FromUtf8(const std::string &s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = (unsigned char)s[i];
        uint32_t cp = b;
        size_t n = 0;
        if (b >= 0xC2 && b <= 0xDF)
            n = 1, cp = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF)
            n = 2, cp = b & 0x0F;
        else if (b >= 0xF0 && b <= 0xF4)
            n = 3, cp = b & 0x07;
        bool ok = n > 0 && i + n < s.size();
        if (ok) {
            for (size_t k = 1; k <= n; ++k) {
                if (i + k >= s.size() || ((unsigned char)s[i + k] & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                cp = (cp << 6) | ((unsigned char)s[i + k] & 0x3F);
            }
        }
        if (ok && ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF))))
            ok = false;
        if (!ok) {
            out += char16_t(b);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
        i += n + 1;
    }
    return out;
}

std::vector<BYTE> StringData(const std::u16string &s) {
    std::vector<BYTE> data((s.size() + 1) * 2, 0);
    for (size_t i = 0; i < s.size(); ++i) {
        data[2 * i] = BYTE(s[i] & 0xFF);
        data[2 * i + 1] = BYTE(s[i] >> 8);
    }
    return data;
}

std::u16string DataString(const std::vector<BYTE> &data) {
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s += char16_t(data[i] | (data[i + 1] << 8));
    return s;
}

// ---- tree operations (lock held) --------------------------------------------

Key *FindSubkey(Key *key, const std::u16string &name, size_t *index = nullptr) {
    for (size_t i = 0; i < key->subkeys.size(); ++i) {
        if (SameName(key->subkeys[i]->name, name)) {
            if (index)
                *index = i;
            return key->subkeys[i].get();
        }
    }
    return nullptr;
}

Value *FindValue(Key *key, const std::u16string &name, size_t *index = nullptr) {
    for (size_t i = 0; i < key->values.size(); ++i) {
        if (SameName(key->values[i].name, name)) {
            if (index)
                *index = i;
            return &key->values[i];
        }
    }
    return nullptr;
}

void MarkDeleted(Key *key) {
    key->deleted = true;
    for (auto &sub : key->subkeys)
        MarkDeleted(sub.get());
}

// Splits a subkey path into its names. A leading backslash is tolerated, as
// on the target, and so is a trailing one; an empty name between two
// backslashes, or a name longer than 255 characters, is invalid.
bool SplitPath(LPCWSTR path, std::vector<std::u16string> *names) {
    names->clear();
    if (!path)
        return true;
    const char16_t *p = path;
    if (*p == u'\\')
        ++p;
    std::u16string current;
    for (; *p; ++p) {
        if (*p == u'\\') {
            if (current.empty())
                return false;
            names->push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty())
        names->push_back(current);
    for (const auto &n : *names) {
        if (n.size() > kMaxKeyNameLength)
            return false;
    }
    return true;
}

// ---- the .reg file ------------------------------------------------------------------

const char *kHeader4 = "REGEDIT4";
const char *kHeader5 = "Windows Registry Editor Version 5.00";

std::shared_ptr<Key> *RootByName(Registry &r, const std::string &name) {
    static const char *const kShort[] = {"HKCR", "HKCU", "HKLM", "HKU"};
    for (int i = 0; i < kRootCount; ++i) {
        if (strcasecmp(name.c_str(), kRootNames[i]) == 0 ||
            strcasecmp(name.c_str(), kShort[i]) == 0)
            return &r.roots[i];
    }
    return nullptr;
}

void Trim(std::string &s) {
    size_t b = 0;
    while (b < s.size() && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    size_t e = s.size();
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    s = s.substr(b, e - b);
}

// Parses a quoted string at s[*pos] (the opening quote); REGEDIT escapes
// only backslash and double quote.
bool ParseQuoted(const std::string &s, size_t *pos, std::string *out) {
    if (*pos >= s.size() || s[*pos] != '"')
        return false;
    out->clear();
    size_t i = *pos + 1;
    for (; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            *out += s[++i];
        } else if (s[i] == '"') {
            *pos = i + 1;
            return true;
        } else {
            *out += s[i];
        }
    }
    return false;
}

bool ParseHexBytes(const std::string &text, std::vector<BYTE> *out) {
    out->clear();
    std::string item;
    auto flush = [&](bool last) {
        Trim(item);
        if (item.empty())
            return last; // "hex:" with no bytes, or a trailing comma
        if (item.size() > 2)
            return false;
        char *end = nullptr;
        unsigned long v = strtoul(item.c_str(), &end, 16);
        if (*end)
            return false;
        out->push_back(BYTE(v));
        item.clear();
        return true;
    };
    for (char c : text) {
        if (c == ',') {
            if (!flush(false))
                return false;
        } else {
            item += c;
        }
    }
    return flush(true);
}

struct ParseError {
    int line = 0;
    std::string what;
};

// Loads a .reg file into the registry's roots. Returns false with *error
// set when the text is not a registry file this loader understands.
bool ParseRegFile(Registry &r, const std::string &raw, ParseError *error) {
    std::string text = raw;
    if (text.size() >= 2 && (unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < text.size(); i += 2)
            wide += char16_t((unsigned char)text[i] | ((unsigned char)text[i + 1] << 8));
        text = ToUtf8(wide);
    } else if (text.size() >= 3 && (unsigned char)text[0] == 0xEF &&
               (unsigned char)text[1] == 0xBB && (unsigned char)text[2] == 0xBF) {
        text = text.substr(3);
    }

    // A NUL character has no place in registry text: kept inside a name it
    // would make a value that no call can name, and digits would end at it.
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        error->line = int(std::count(text.begin(), text.begin() + long(nul), '\n')) + 1;
        error->what = "a NUL character in the text";
        return false;
    }

    std::vector<std::string> lines;
    {
        size_t start = 0;
        while (start <= text.size()) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) {
                lines.push_back(text.substr(start));
                break;
            }
            lines.push_back(text.substr(start, nl - start));
            start = nl + 1;
        }
    }

    size_t i = 0;
    int lineNo = 0;
    auto fail = [&](const char *what) {
        error->line = lineNo;
        error->what = what;
        return false;
    };
    // Header: the first non-blank line.
    bool version5 = false;
    for (; i < lines.size(); ++i) {
        lineNo = int(i + 1);
        std::string l = lines[i];
        Trim(l);
        if (l.empty())
            continue;
        if (l == kHeader4) {
            version5 = false;
        } else if (l == kHeader5) {
            version5 = true;
        } else {
            return fail("not a REGEDIT4 file (missing header)");
        }
        ++i;
        break;
    }

    Key *current = nullptr;
    for (; i < lines.size(); ++i) {
        lineNo = int(i + 1);
        std::string l = lines[i];
        Trim(l);
        // A value line ending in a backslash continues on the next line.
        while (!l.empty() && l.back() == '\\' && l[0] != '[' && i + 1 < lines.size()) {
            l.pop_back();
            std::string next = lines[++i];
            Trim(next);
            l += next;
        }
        if (l.empty() || l[0] == ';')
            continue;
        if (l[0] == '[') {
            if (l.back() != ']')
                return fail("key line without closing bracket");
            std::string path = l.substr(1, l.size() - 2);
            bool remove = false;
            if (!path.empty() && path[0] == '-') {
                remove = true;
                path = path.substr(1);
            }
            size_t slash = path.find('\\');
            std::string rootName = slash == std::string::npos ? path : path.substr(0, slash);
            std::shared_ptr<Key> *root = RootByName(r, rootName);
            if (!root)
                return fail("unknown root key");
            std::u16string rest =
                slash == std::string::npos ? std::u16string() : FromUtf8(path.substr(slash + 1));
            std::vector<std::u16string> names;
            if (!SplitPath(rest.c_str(), &names))
                return fail("invalid key path");
            if (remove) {
                current = nullptr;
                if (names.empty())
                    return fail("a root key cannot be removed");
                Key *parent = root->get();
                for (size_t k = 0; parent && k + 1 < names.size(); ++k)
                    parent = FindSubkey(parent, names[k]);
                size_t index = 0;
                if (parent && FindSubkey(parent, names.back(), &index)) {
                    MarkDeleted(parent->subkeys[index].get());
                    parent->subkeys.erase(parent->subkeys.begin() + long(index));
                }
                continue;
            }
            Key *key = root->get();
            for (const auto &n : names) {
                Key *sub = FindSubkey(key, n);
                if (!sub) {
                    auto created = std::make_shared<Key>();
                    created->name = n;
                    key->subkeys.push_back(created);
                    sub = created.get();
                }
                key = sub;
            }
            current = key;
            continue;
        }
        if (!current)
            return fail("value outside a key");
        std::u16string name;
        size_t pos = 0;
        if (l[0] == '@') {
            pos = 1;
        } else {
            std::string n8;
            if (!ParseQuoted(l, &pos, &n8))
                return fail("bad value name");
            name = FromUtf8(n8);
        }
        while (pos < l.size() && (l[pos] == ' ' || l[pos] == '\t'))
            ++pos;
        if (pos >= l.size() || l[pos] != '=')
            return fail("missing '=' after the value name");
        std::string data = l.substr(pos + 1);
        Trim(data);
        Value value;
        value.name = name;
        if (data == "-") {
            size_t index = 0;
            if (FindValue(current, name, &index))
                current->values.erase(current->values.begin() + long(index));
            continue;
        }
        if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string s8;
            if (!ParseQuoted(data, &p, &s8) || p != data.size())
                return fail("bad string value");
            value.type = REG_SZ;
            value.data = StringData(FromUtf8(s8));
        } else if (strncasecmp(data.c_str(), "dword:", 6) == 0) {
            std::string digits = data.substr(6);
            Trim(digits);
            char *end = nullptr;
            if (digits.empty() || digits.size() > 8)
                return fail("bad dword value");
            unsigned long v = strtoul(digits.c_str(), &end, 16);
            if (*end)
                return fail("bad dword value");
            value.type = REG_DWORD;
            for (int b = 0; b < 4; ++b)
                value.data.push_back(BYTE((v >> (8 * b)) & 0xFF));
        } else if (strncasecmp(data.c_str(), "hex", 3) == 0) {
            size_t colon = data.find(':');
            if (colon == std::string::npos)
                return fail("bad hex value");
            std::string kind = data.substr(3, colon - 3);
            DWORD type = REG_BINARY;
            if (!kind.empty()) {
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
                    return fail("bad hex value type");
                char *end = nullptr;
                std::string t = kind.substr(1, kind.size() - 2);
                type = DWORD(strtoul(t.c_str(), &end, 16));
                if (t.empty() || *end)
                    return fail("bad hex value type");
            }
            std::vector<BYTE> bytes;
            if (!ParseHexBytes(data.substr(colon + 1), &bytes))
                return fail("bad hex bytes");
            value.type = type;
            if (!version5 && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
                // REGEDIT4 writes these as 8-bit text (here UTF-8).
                std::string s8(bytes.begin(), bytes.end());
                std::u16string w = FromUtf8(s8);
                value.data = StringData(w);
                value.data.resize(value.data.size() - 2); // no terminator added
            } else {
                value.data = bytes;
            }
        } else {
            return fail("unknown value format");
        }
        Value *existing = FindValue(current, name);
        if (existing)
            *existing = value;
        else
            current->values.push_back(value);
    }
    return true;
}

void AppendHex(std::string &out, const char *prefix, const std::vector<BYTE> &bytes) {
    out += prefix;
    size_t column = out.size() - out.rfind('\n') - 1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char b[4];
        snprintf(b, sizeof(b), "%02x", bytes[i]);
        out += b;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
}

std::string Quote(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ that the quoted form can carry: whole UTF-16 units, one
// terminating zero at the end and none before it, no control characters.
bool PlainString(const std::vector<BYTE> &data) {
    if (data.size() < 2 || data.size() % 2)
        return false;
    std::u16string s = DataString(data);
    if (s.back() != 0)
        return false;
    s.pop_back();
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c < 0x20 || c == 0x7F)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

void WriteKey(std::string &out, const std::string &path, const Key &key, bool emitHeader) {
    if (emitHeader) {
        out += "[" + path + "]\r\n";
        for (const auto &v : key.values) {
            std::string name = v.name.empty() ? "@" : Quote(ToUtf8(v.name));
            out += name + "=";
            if (v.type == REG_SZ && PlainString(v.data)) {
                std::u16string s = DataString(v.data);
                s.pop_back();
                out += Quote(ToUtf8(s));
            } else if (v.type == REG_DWORD && v.data.size() == 4) {
                char b[16];
                DWORD d = DWORD(v.data[0]) | DWORD(v.data[1]) << 8 | DWORD(v.data[2]) << 16 |
                          DWORD(v.data[3]) << 24;
                snprintf(b, sizeof(b), "dword:%08x", d);
                out += b;
            } else if (v.type == REG_BINARY) {
                AppendHex(out, "hex:", v.data);
            } else {
                char prefix[24];
                snprintf(prefix, sizeof(prefix), "hex(%x):", v.type);
                if (v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ) {
                    std::string s8 = ToUtf8(DataString(v.data));
                    AppendHex(out, prefix, std::vector<BYTE>(s8.begin(), s8.end()));
                } else {
                    AppendHex(out, prefix, v.data);
                }
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    for (const auto &sub : key.subkeys)
        WriteKey(out, path + "\\" + ToUtf8(sub->name), *sub, true);
}

std::string Serialise(const Registry &r) {
    std::string out = std::string(kHeader4) + "\r\n\r\n";
    for (int i = 0; i < kRootCount; ++i)
        WriteKey(out, kRootNames[i], *r.roots[i], !r.roots[i]->values.empty());
    return out;
}

// Writes the registry to its file: a new file in the same folder, flushed,
// then renamed over the old one.
void Save(Registry &r) {
    if (!r.persist)
        return;
    std::string text = Serialise(r);
    std::string temp = r.path + ".new." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += size_t(n);
    }
    if (ok)
        ok = fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    if (ok)
        ok = rename(temp.c_str(), r.path.c_str()) == 0;
    if (!ok) {
        fprintf(stderr, "registry: cannot save %s: %s\n", r.path.c_str(), strerror(errno));
        unlink(temp.c_str());
    }
}

void EnsureLoaded(Registry &r) {
    if (r.loaded)
        return;
    r.loaded = true;
    for (int i = 0; i < kRootCount; ++i) {
        r.roots[i] = std::make_shared<Key>();
        r.roots[i]->name = FromUtf8(kRootNames[i]);
    }
    const char *path = getenv("KX_REGISTRY");
    r.path = path ? path : "";
    r.persist = !r.path.empty();
    if (r.path.empty())
        return;
    FILE *f = fopen(r.path.c_str(), "rb");
    if (!f)
        return; // no file yet: it is created at the first change
    std::string text;
    char buffer[8192];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        text.append(buffer, n);
    fclose(f);
    ParseError error;
    if (!ParseRegFile(r, text, &error)) {
        fprintf(stderr,
                "registry: %s:%d: %s; the registry stays in memory and the file is not "
                "written\n",
                r.path.c_str(), error.line, error.what.c_str());
        r.persist = false;
    }
}

// Resolves a handle to its key, lock held. Returns ERROR_SUCCESS or the
// error to report.
LONG Resolve(Registry &r, HKEY hKey, Key **key) {
    EnsureLoaded(r);
    ULONG_PTR v = (ULONG_PTR)hKey;
    for (int i = 0; i < kRootCount; ++i) {
        if (v == (ULONG_PTR)(LONG)(0x80000000u + unsigned(i))) {
            *key = r.roots[i].get();
            return ERROR_SUCCESS;
        }
    }
    std::shared_ptr<KeyHandle> h = kx::Lookup<KeyHandle>((HANDLE)hKey);
    if (!h)
        return ERROR_INVALID_HANDLE;
    if (h->key->deleted)
        return ERROR_KEY_DELETED;
    *key = h->key.get(); // kept alive by its parent or by the handle
    return ERROR_SUCCESS;
}

std::shared_ptr<Key> SharedOf(Registry &r, Key *key) {
    for (int i = 0; i < kRootCount; ++i) {
        if (r.roots[i].get() == key)
            return r.roots[i];
    }
    return nullptr;
}

HKEY NewHandle(Registry &r, const std::shared_ptr<Key> &key) {
    auto h = std::make_shared<KeyHandle>();
    h->key = key;
    HANDLE handle = kx::AddHandle(h);
    r.handles.insert(handle);
    return (HKEY)handle;
}

// Walks names below key; returns the shared pointer to the key reached, or
// null. `base` is the handle through which `key` was resolved.
std::shared_ptr<Key> Walk(Registry &r, HKEY base, Key *key,
                          const std::vector<std::u16string> &names, bool create, bool *created) {
    std::shared_ptr<Key> current = SharedOf(r, key);
    if (!current)
        current = kx::Lookup<KeyHandle>((HANDLE)base)->key;
    for (const auto &n : names) {
        Key *sub = FindSubkey(current.get(), n);
        if (sub) {
            for (auto &s : current->subkeys) {
                if (s.get() == sub) {
                    current = s;
                    break;
                }
            }
            continue;
        }
        if (!create)
            return nullptr;
        auto made = std::make_shared<Key>();
        made->name = n;
        current->subkeys.push_back(made);
        current = made;
        if (created)
            *created = true;
    }
    return current;
}

} // namespace

extern "C" {

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::u16string> names;
    if (!SplitPath(lpSubKey, &names))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Key> found = Walk(r, hKey, key, names, false, nullptr);
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(r, found);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::u16string> names;
    if (!SplitPath(lpSubKey, &names))
        return ERROR_INVALID_PARAMETER;
    bool created = false;
    std::shared_ptr<Key> found = Walk(r, hKey, key, names, true, &created);
    *phkResult = NewHandle(r, found);
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    if (created)
        Save(r);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    EnsureLoaded(r);
    ULONG_PTR v = (ULONG_PTR)hKey;
    if (v >= (ULONG_PTR)(LONG)0x80000000 && v <= (ULONG_PTR)(LONG)0x80000003)
        return ERROR_SUCCESS;
    auto it = r.handles.find((HANDLE)hKey);
    if (it == r.handles.end())
        return ERROR_INVALID_HANDLE;
    r.handles.erase(it);
    CloseHandle((HANDLE)hKey);
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::u16string> names;
    if (!SplitPath(lpSubKey, &names))
        return ERROR_INVALID_PARAMETER;
    if (names.empty())
        return ERROR_INVALID_PARAMETER; // the key itself is not deleted through its handle
    std::u16string last = names.back();
    names.pop_back();
    std::shared_ptr<Key> parent = Walk(r, hKey, key, names, false, nullptr);
    size_t index = 0;
    if (!parent || !FindSubkey(parent.get(), last, &index))
        return ERROR_FILE_NOT_FOUND;
    MarkDeleted(parent->subkeys[index].get());
    parent->subkeys.erase(parent->subkeys.begin() + long(index));
    Save(r);
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    size_t index = 0;
    if (!FindValue(key, FromWide(lpValueName), &index))
        return ERROR_FILE_NOT_FOUND;
    key->values.erase(key->values.begin() + long(index));
    Save(r);
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcName, LPDWORD lpReserved,
                   LPWSTR lpClass, LPDWORD lpcClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcName)
        return ERROR_INVALID_PARAMETER;
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    if (dwIndex >= key->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    const std::u16string &name = key->subkeys[dwIndex]->name;
    if (name.size() + 1 > *lpcName)
        return ERROR_MORE_DATA;
    memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *lpcName = DWORD(name.size());
    if (lpClass && lpcClass && *lpcClass > 0)
        lpClass[0] = 0;
    if (lpcClass)
        *lpcClass = 0;
    if (lpftLastWriteTime)
        lpftLastWriteTime->dwLowDateTime = lpftLastWriteTime->dwHighDateTime = 0;
    return ERROR_SUCCESS;
}

namespace {

// The data part of a value query, shared by RegQueryValueExW and
// RegEnumValueW (lock held).
LONG CopyValueData(const Value &v, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData && !lpcbData)
        return ERROR_INVALID_PARAMETER;
    if (lpType)
        *lpType = v.type;
    if (!lpcbData)
        return ERROR_SUCCESS;
    DWORD size = DWORD(v.data.size());
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size)
            memcpy(lpData, v.data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

} // namespace

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName)
        return ERROR_INVALID_PARAMETER;
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    if (dwIndex >= key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value &v = key->values[dwIndex];
    if (v.name.size() + 1 > *lpcchValueName)
        return ERROR_MORE_DATA;
    if (lpData && !lpcbData)
        return ERROR_INVALID_PARAMETER;
    if (lpData && *lpcbData < v.data.size()) {
        *lpcbData = DWORD(v.data.size());
        return ERROR_MORE_DATA;
    }
    memcpy(lpValueName, v.name.c_str(), (v.name.size() + 1) * sizeof(WCHAR));
    *lpcchValueName = DWORD(v.name.size());
    return CopyValueData(v, lpType, lpData, lpcbData);
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    const Value *v = FindValue(key, FromWide(lpValueName));
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    return CopyValueData(*v, lpType, lpData, lpcbData);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE *lpData, DWORD cbData) {
    if (!lpData && cbData)
        return ERROR_INVALID_PARAMETER;
    std::u16string name = FromWide(lpValueName);
    if (name.size() > kMaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    Value *v = FindValue(key, name);
    if (!v) {
        key->values.push_back(Value());
        v = &key->values.back();
        v->name = name;
    }
    v->type = dwType;
    v->data.assign(lpData, lpData + cbData);
    Save(r);
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcMaxSubKeyLen, LPDWORD lpcMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcMaxValueNameLen, LPDWORD lpcMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD maxSub = 0, maxName = 0, maxData = 0;
    for (const auto &s : key->subkeys)
        maxSub = s->name.size() > maxSub ? DWORD(s->name.size()) : maxSub;
    for (const auto &v : key->values) {
        maxName = v.name.size() > maxName ? DWORD(v.name.size()) : maxName;
        maxData = v.data.size() > maxData ? DWORD(v.data.size()) : maxData;
    }
    if (lpClass && lpcClass && *lpcClass > 0)
        lpClass[0] = 0;
    if (lpcClass)
        *lpcClass = 0;
    if (lpcSubKeys)
        *lpcSubKeys = DWORD(key->subkeys.size());
    if (lpcMaxSubKeyLen)
        *lpcMaxSubKeyLen = maxSub;
    if (lpcMaxClassLen)
        *lpcMaxClassLen = 0;
    if (lpcValues)
        *lpcValues = DWORD(key->values.size());
    if (lpcMaxValueNameLen)
        *lpcMaxValueNameLen = maxName;
    if (lpcMaxValueLen)
        *lpcMaxValueLen = maxData;
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime)
        lpftLastWriteTime->dwLowDateTime = lpftLastWriteTime->dwHighDateTime = 0;
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY hKey) {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Key *key = nullptr;
    LONG status = Resolve(r, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    Save(r);
    return ERROR_SUCCESS;
}

} // extern "C"

namespace kxtest {

void ReloadRegistry() {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    for (HANDLE h : r.handles)
        CloseHandle(h);
    r.handles.clear();
    for (auto &root : r.roots)
        root.reset();
    r.loaded = false;
    r.persist = false;
    r.path.clear();
}

} // namespace kxtest
