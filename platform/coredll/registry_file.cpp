// The .reg file behind the registry: reading, writing, and keeping the
// user's file as it was (see registry_file.h).

#include "registry_file.h"

#include <kxhost/utf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxreg {

namespace {

const char *const kHeader4 = "REGEDIT4";
const char *const kHeader5 = "Windows Registry Editor Version 5.00";
const char *const kShortRootNames[kRootCount] = {"HKCR", "HKCU", "HKLM", "HKU"};

// ---- reading --------------------------------------------------------------------

std::shared_ptr<Key> *RootByName(Tree &tree, const std::string &name) {
    for (int i = 0; i < kRootCount; ++i) {
        if (strcasecmp(name.c_str(), kRootNames[i]) == 0 ||
            strcasecmp(name.c_str(), kShortRootNames[i]) == 0)
            return &tree.roots[i];
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

// A quoted string: REG_SZ.
bool ParseStringData(const std::string &data, Value *value, const char **error) {
    size_t p = 0;
    std::string s8;
    if (!ParseQuoted(data, &p, &s8) || p != data.size()) {
        *error = "bad string value";
        return false;
    }
    value->type = REG_SZ;
    value->data = StringData(kxhost::Utf8ToUtf16Lossless(s8));
    return true;
}

// "dword:" and up to eight hex digits: REG_DWORD.
bool ParseDwordData(const std::string &data, Value *value, const char **error) {
    std::string digits = data.substr(6);
    Trim(digits);
    char *end = nullptr;
    *error = "bad dword value";
    if (digits.empty() || digits.size() > 8)
        return false;
    unsigned long v = strtoul(digits.c_str(), &end, 16);
    if (*end)
        return false;
    value->type = REG_DWORD;
    for (int b = 0; b < 4; ++b)
        value->data.push_back(BYTE((v >> (8 * b)) & 0xFF));
    return true;
}

// The "(type)" between "hex" and the colon; empty means REG_BINARY.
bool ParseHexType(const std::string &kind, DWORD *type, const char **error) {
    *type = REG_BINARY;
    if (kind.empty())
        return true;
    *error = "bad hex value type";
    if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
        return false;
    char *end = nullptr;
    std::string t = kind.substr(1, kind.size() - 2);
    *type = DWORD(strtoul(t.c_str(), &end, 16));
    return !t.empty() && !*end;
}

// "hex:bytes" or "hex(type):bytes".
bool ParseHexData(const std::string &data, bool version5, Value *value, const char **error) {
    size_t colon = data.find(':');
    if (colon == std::string::npos) {
        *error = "bad hex value";
        return false;
    }
    DWORD type = REG_BINARY;
    if (!ParseHexType(data.substr(3, colon - 3), &type, error))
        return false;
    std::vector<BYTE> bytes;
    if (!ParseHexBytes(data.substr(colon + 1), &bytes)) {
        *error = "bad hex bytes";
        return false;
    }
    value->type = type;
    if (!version5 && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
        // REGEDIT4 writes these as 8-bit text (here UTF-8).
        std::string s8(bytes.begin(), bytes.end());
        value->data = StringData(kxhost::Utf8ToUtf16Lossless(s8));
        value->data.resize(value->data.size() - 2); // no terminator added
    } else {
        value->data = bytes;
    }
    return true;
}

// The data part of a value line ("..." after the '='); false with *error
// set when it is not one this reader knows.
bool ParseValueData(const std::string &data, bool version5, Value *value, const char **error) {
    if (!data.empty() && data[0] == '"')
        return ParseStringData(data, value, error);
    if (strncasecmp(data.c_str(), "dword:", 6) == 0)
        return ParseDwordData(data, value, error);
    if (strncasecmp(data.c_str(), "hex", 3) == 0)
        return ParseHexData(data, version5, value, error);
    *error = "unknown value format";
    return false;
}

// Lines of the text, without their line feeds (a carriage return stays at
// the end of its line, so that kept lines are written back as they were).
std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

bool IsBlank(const std::string &line) {
    std::string l = line;
    Trim(l);
    return l.empty();
}

// The text as UTF-8: UTF-16LE (with its byte order mark) is converted, a
// UTF-8 byte order mark is dropped, anything else is taken as it is.
std::string DecodeRegText(const std::string &raw) {
    if (raw.size() >= 2 && (unsigned char)raw[0] == 0xFF && (unsigned char)raw[1] == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < raw.size(); i += 2)
            wide += char16_t((unsigned char)raw[i] | ((unsigned char)raw[i + 1] << 8));
        return kxhost::Utf16ToUtf8Lossless(wide);
    }
    if (raw.size() >= 3 && (unsigned char)raw[0] == 0xEF && (unsigned char)raw[1] == 0xBB &&
        (unsigned char)raw[2] == 0xBF)
        return raw.substr(3);
    return raw;
}

// One reading of a file into a tree; ParseTree's steps share this state.
// Every step that returns false has set the error and its line.
struct TreeParser {
    Tree &tree;
    int *errorLine;
    std::string *error;
    std::vector<std::string> lines;
    size_t i = 0;   // the line being read
    int lineNo = 0; // its number from 1, for errors (a continued line: its first)
    // Comment and blank lines wait here for the item they stand above.
    std::vector<std::string> pending;
    int sections = 0;
    Key *current = nullptr; // the section values go to; none after a removal

    TreeParser(Tree &into, int *errorLineOut, std::string *errorOut,
               std::vector<std::string> textLines)
        : tree(into), errorLine(errorLineOut), error(errorOut), lines(std::move(textLines)) {}

    bool Fail(const char *what) {
        *errorLine = lineNo;
        *error = what;
        return false;
    }

    // Header: the first non-blank line; leaves i on the line after it.
    bool ReadHeader() {
        bool header = false;
        for (; i < lines.size() && !header; ++i) {
            lineNo = int(i + 1);
            std::string l = lines[i];
            Trim(l);
            tree.headerLines.push_back(lines[i]);
            if (l.empty())
                continue;
            if (l == kHeader4)
                tree.version5 = false;
            else if (l == kHeader5)
                tree.version5 = true;
            else
                return Fail("not a REGEDIT4 file (missing header)");
            tree.crlf = !lines[i].empty() && lines[i].back() == '\r';
            header = true;
        }
        if (!header)
            tree.headerLines.clear(); // blank lines only: the writer adds the header
        return true;
    }

    // A value line ending in a backslash continues on the next line: joins
    // them into *l (trimmed) and *lineText (as written), leaving i on the last.
    void JoinContinuations(std::string *l, std::string *lineText) {
        while (!l->empty() && l->back() == '\\' && (*l)[0] != '[' && i + 1 < lines.size()) {
            l->pop_back();
            std::string next = lines[++i];
            *lineText += "\n" + next;
            Trim(next);
            *l += next;
        }
    }

    bool RemoveKey(Key *root, const std::vector<std::u16string> &names) {
        current = nullptr;
        if (names.empty())
            return Fail("a root key cannot be removed");
        Key *parent = root;
        for (size_t k = 0; parent && k + 1 < names.size(); ++k)
            parent = FindSubkey(parent, names[k]);
        size_t index = 0;
        if (parent && FindSubkey(parent, names.back(), &index)) {
            MarkDeleted(parent->subkeys[index].get());
            parent->subkeys.erase(parent->subkeys.begin() + long(index));
        }
        return true; // its comments go to what follows
    }

    static Key *CreatePath(Key *key, const std::vector<std::u16string> &names) {
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
        return key;
    }

    // The key's first section in the file: it takes the waiting lines.
    void StartSection(Key *key) {
        if (sections == 0) {
            // Lines above the first section, up to the last blank
            // line among them, belong to the file rather than to it.
            size_t keep = pending.size();
            while (keep > 0 && !IsBlank(pending[keep - 1]))
                --keep;
            tree.headerLines.insert(tree.headerLines.end(), pending.begin(),
                                    pending.begin() + long(keep));
            pending.erase(pending.begin(), pending.begin() + long(keep));
        }
        key->section = sections++;
        key->leadingLines = std::move(pending);
        key->headerText = lines[i];
        pending.clear();
    }

    // "[path]" opens (creating) a key, "[-path]" removes one.
    bool KeyLine(const std::string &l) {
        if (l.back() != ']')
            return Fail("key line without closing bracket");
        std::string path = l.substr(1, l.size() - 2);
        bool remove = false;
        if (!path.empty() && path[0] == '-') {
            remove = true;
            path = path.substr(1);
        }
        size_t slash = path.find('\\');
        std::string rootName = slash == std::string::npos ? path : path.substr(0, slash);
        std::shared_ptr<Key> *root = RootByName(tree, rootName);
        if (!root)
            return Fail("unknown root key");
        std::u16string rest = slash == std::string::npos
                                  ? std::u16string()
                                  : kxhost::Utf8ToUtf16Lossless(path.substr(slash + 1));
        std::vector<std::u16string> names;
        if (!SplitPath(rest.c_str(), &names))
            return Fail("invalid key path");
        if (remove)
            return RemoveKey(root->get(), names);
        Key *key = CreatePath(root->get(), names);
        if (key->section < 0)
            StartSection(key);
        current = key;
        return true;
    }

    // The value (with the waiting lines above it) into the current key.
    void StoreValue(Value value) {
        Value *existing = FindValue(current, value.name);
        if (existing) {
            // Defined again: the later data, at the first definition's place.
            std::vector<std::string> leading = std::move(existing->leadingLines);
            leading.insert(leading.end(), pending.begin(), pending.end());
            *existing = std::move(value);
            existing->leadingLines = std::move(leading);
        } else {
            value.leadingLines = std::move(pending);
            current->values.push_back(std::move(value));
        }
        pending.clear();
    }

    // '@=data' or '"name"=data'; data "-" removes the value.
    bool ValueLine(const std::string &l, const std::string &lineText) {
        if (!current)
            return Fail("value outside a key");
        std::u16string name;
        size_t pos = 0;
        if (l[0] == '@') {
            pos = 1;
        } else {
            std::string n8;
            if (!ParseQuoted(l, &pos, &n8))
                return Fail("bad value name");
            name = kxhost::Utf8ToUtf16Lossless(n8);
        }
        while (pos < l.size() && (l[pos] == ' ' || l[pos] == '\t'))
            ++pos;
        if (pos >= l.size() || l[pos] != '=')
            return Fail("missing '=' after the value name");
        std::string data = l.substr(pos + 1);
        Trim(data);
        if (data == "-") {
            size_t index = 0;
            if (FindValue(current, name, &index))
                current->values.erase(current->values.begin() + long(index));
            return true; // its comments go to what follows
        }
        Value value;
        value.name = name;
        const char *what = nullptr;
        if (!ParseValueData(data, tree.version5, &value, &what))
            return Fail(what);
        value.fileText = lineText;
        StoreValue(std::move(value));
        return true;
    }

    // The lines after the header: sections, values, comments.
    bool ReadBody() {
        for (; i < lines.size(); ++i) {
            lineNo = int(i + 1);
            std::string l = lines[i];
            std::string lineText = lines[i];
            Trim(l);
            if (l.empty() || l[0] == ';') {
                pending.push_back(lines[i]);
                continue;
            }
            JoinContinuations(&l, &lineText);
            if (!(l[0] == '[' ? KeyLine(l) : ValueLine(l, lineText)))
                return false;
        }
        tree.trailingLines = std::move(pending);
        return true;
    }
};

} // namespace

bool ParseTree(const std::string &raw, Tree &tree, int *errorLine, std::string *error) {
    ResetTree(tree);
    std::string text = DecodeRegText(raw);

    // A NUL character has no place in registry text: kept inside a name it
    // would make a value that no call can name, and digits would end at it.
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        *errorLine = int(std::count(text.begin(), text.begin() + long(nul), '\n')) + 1;
        *error = "a NUL character in the text";
        return false;
    }

    TreeParser parser(tree, errorLine, error, SplitLines(text));
    return parser.ReadHeader() && parser.ReadBody();
}

// ---- writing --------------------------------------------------------------------

namespace {

void AppendHex(std::string &out, const char *prefix, const std::vector<BYTE> &bytes,
               const char *newline) {
    out += prefix;
    size_t lineStart = out.rfind('\n');
    size_t column = lineStart == std::string::npos ? out.size() : out.size() - lineStart - 1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char b[4];
        snprintf(b, sizeof(b), "%02x", bytes[i]);
        out += b;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\";
                out += newline;
                out += "  ";
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

void AppendValueLine(std::string &out, const Value &v, const Tree &tree) {
    const char *newline = tree.crlf ? "\r\n" : "\n";
    out += v.name.empty() ? "@" : Quote(kxhost::Utf16ToUtf8Lossless(v.name));
    out += "=";
    if (v.type == REG_SZ && PlainString(v.data)) {
        std::u16string s = DataString(v.data);
        s.pop_back();
        out += Quote(kxhost::Utf16ToUtf8Lossless(s));
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        char b[16];
        DWORD d = DWORD(v.data[0]) | DWORD(v.data[1]) << 8 | DWORD(v.data[2]) << 16 |
                  DWORD(v.data[3]) << 24;
        snprintf(b, sizeof(b), "dword:%08x", d);
        out += b;
    } else if (v.type == REG_BINARY) {
        AppendHex(out, "hex:", v.data, newline);
    } else {
        char prefix[24];
        snprintf(prefix, sizeof(prefix), "hex(%x):", v.type);
        if (!tree.version5 && (v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)) {
            std::string s8 = kxhost::Utf16ToUtf8Lossless(DataString(v.data));
            AppendHex(out, prefix, std::vector<BYTE>(s8.begin(), s8.end()), newline);
        } else {
            AppendHex(out, prefix, v.data, newline);
        }
    }
    out += newline;
}

void AppendLines(std::string &out, const std::vector<std::string> &lines) {
    for (const auto &l : lines)
        out += l + "\n";
}

// The sections to write, in order. An entry is a key's own section (its
// header and values) or, rarely, a bare header that only mentions the key
// (see Arrange).
struct Entry {
    const Key *key;
    bool mentionOnly;
};

struct Layout {
    std::vector<Entry> sections;
    std::unordered_map<const Key *, std::string> paths;
    std::unordered_map<const Key *, const Key *> parents;
    // Per key: the first and last positions of its subtree's sections, and
    // the position of its own section; worked out again after an insertion.
    struct Places {
        long first = -1, last = -1, own = -1;
    };
    std::unordered_map<const Key *, Places> places;
    bool placesValid = false;
};

void Collect(const Key *key, const Key *parent, const std::string &path, Layout &layout,
             std::vector<std::pair<int, const Key *>> &fromFile) {
    layout.paths[key] = path;
    layout.parents[key] = parent;
    if (key->section >= 0)
        fromFile.push_back({key->section, key});
    for (const auto &sub : key->subkeys)
        Collect(sub.get(), key, path + "\\" + kxhost::Utf16ToUtf8Lossless(sub->name), layout,
                fromFile);
}

const Layout::Places &PlacesOf(Layout &layout, const Key *key) {
    if (!layout.placesValid) {
        layout.places.clear();
        for (size_t i = 0; i < layout.sections.size(); ++i) {
            const Entry &e = layout.sections[i];
            if (!e.mentionOnly)
                layout.places[e.key].own = long(i);
            for (const Key *k = e.key; k; k = layout.parents.at(k)) {
                Layout::Places &p = layout.places[k];
                if (p.first < 0)
                    p.first = long(i);
                p.last = long(i);
            }
        }
        layout.placesValid = true;
    }
    static const Layout::Places kNowhere;
    auto it = layout.places.find(key);
    return it == layout.places.end() ? kNowhere : it->second;
}

// The first and last positions of the sections of the key's subtree (-1
// when there is none). A load creates a key at its first mention: its own
// header or the first header below it.
void Span(Layout &layout, const Key *key, long *first, long *last) {
    const Layout::Places &p = PlacesOf(layout, key);
    *first = p.first;
    *last = p.last;
}

long OwnSection(Layout &layout, const Key *key) {
    return PlacesOf(layout, key).own;
}

void Insert(Layout &layout, long at, const Key *key, bool mentionOnly) {
    layout.sections.insert(layout.sections.begin() + at, Entry{key, mentionOnly});
    layout.placesValid = false;
}

long Clamp(long preferred, long lo, long hi) {
    return std::max(lo, std::min(preferred, hi));
}

// Completes the layout of the key's subtree so that a load gives the tree as
// it is now: the key is first mentioned between positions `lo` and `hi`
// (after its older siblings' first mentions, before its younger ones'), at
// `preferred` when it needs a new section. A key needs a section of its own
// when it has values, or no subkeys whose sections would create it; a parent
// gets none just to exist. The file's own sections keep their order; new
// ones go after the sections of their parent and older siblings. Only when
// deletions have left a key first mentioned out of its order (possible with
// a hand-ordered file) does a bare header mention it in its place.
void Arrange(const Key *key, bool root, long lo, long preferred, long hi, Layout &layout) {
    long first, last;
    if (!root) {
        Span(layout, key, &first, &last);
        bool inPlace = first >= lo && first <= hi;
        if (OwnSection(layout, key) < 0 && (!key->values.empty() || key->subkeys.empty()))
            Insert(layout, inPlace ? first : Clamp(preferred, lo, hi), key, false);
        else if (first >= 0 && !inPlace)
            Insert(layout, Clamp(preferred, lo, hi), key, true);
    } else if (!key->values.empty() && OwnSection(layout, key) < 0) {
        Insert(layout, long(layout.sections.size()), key, false);
    }
    Span(layout, key, &first, &last);
    long own = OwnSection(layout, key);
    bool mentioned = root || first >= 0;
    long previousFirst = -1, previousLast = -1;
    for (size_t i = 0; i < key->subkeys.size(); ++i) {
        long childLo, childPreferred;
        if (i > 0) {
            childLo = previousFirst + 1;
            childPreferred = previousLast + 1;
        } else if (root) {
            childLo = 0;
            childPreferred = long(layout.sections.size());
        } else {
            childLo = mentioned ? first : lo;
            childPreferred = own >= 0 ? own + 1 : mentioned ? first : preferred;
        }
        // Before the next younger sibling that is mentioned in order. (Only
        // fewer bare headers depend on this bound: a sibling left out of
        // order gets one of its own when its turn comes.)
        long childHi = mentioned ? long(layout.sections.size()) : hi;
        for (size_t j = i + 1; j < key->subkeys.size(); ++j) {
            long f, l;
            Span(layout, key->subkeys[j].get(), &f, &l);
            if (f >= childLo) {
                childHi = std::min(childHi, f);
                break;
            }
        }
        const Key *child = key->subkeys[i].get();
        Arrange(child, false, childLo, childPreferred, childHi, layout);
        Span(layout, child, &previousFirst, &previousLast);
        if (!mentioned) {
            Span(layout, key, &first, &last);
            mentioned = first >= 0;
        }
    }
}

} // namespace

std::string SerialiseTree(const Tree &tree) {
    const char *newline = tree.crlf ? "\r\n" : "\n";
    std::string out;
    if (tree.headerLines.empty())
        out += std::string(tree.version5 ? kHeader5 : kHeader4) + newline;
    else
        AppendLines(out, tree.headerLines);

    Layout layout;
    std::vector<std::pair<int, const Key *>> fromFile;
    for (int i = 0; i < kRootCount; ++i)
        Collect(tree.roots[i].get(), nullptr, kRootNames[i], layout, fromFile);
    std::sort(fromFile.begin(), fromFile.end());
    for (const auto &s : fromFile)
        layout.sections.push_back(Entry{s.second, false});
    for (int i = 0; i < kRootCount; ++i)
        Arrange(tree.roots[i].get(), true, 0, 0, 0, layout);

    for (const Entry &entry : layout.sections) {
        const Key *key = entry.key;
        if (entry.mentionOnly) {
            out += newline;
            out += "[" + layout.paths[key] + "]" + newline;
            continue;
        }
        if (key->section >= 0) {
            AppendLines(out, key->leadingLines);
            out += key->headerText + "\n";
        } else {
            out += newline;
            out += "[" + layout.paths[key] + "]" + newline;
        }
        for (const auto &v : key->values) {
            AppendLines(out, v.leadingLines);
            if (!v.fileText.empty())
                out += v.fileText + "\n";
            else
                AppendValueLine(out, v, tree);
        }
    }
    AppendLines(out, tree.trailingLines);
    return out;
}

// ---- the file ----------------------------------------------------------------------

namespace {

std::string FolderOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void Refuse(RegistryFile &file, LONG status, const std::string &why) {
    fprintf(stderr, "registry: %s: %s; the file is left as it is and changes are not saved\n",
            file.path.c_str(), why.c_str());
    file.status = status;
    file.writable = false;
    file.failureTold = true;
}

std::string Reason(const char *what, int error) {
    return std::string(what) + " (" + strerror(error) + ")";
}

// Follows symbolic links from `path` to the file they lead to (which need
// not exist yet). False, with *why set, for a loop or an unreadable link.
bool FollowLinks(const std::string &path, std::string *target, struct stat *st, bool *exists,
                 std::string *why) {
    std::string current = path;
    for (int hops = 0; hops <= 40; ++hops) {
        if (lstat(current.c_str(), st) != 0) {
            if (errno != ENOENT) {
                *why = Reason("cannot be examined", errno);
                return false;
            }
            *exists = false;
            *target = current;
            return true;
        }
        if (!S_ISLNK(st->st_mode)) {
            *exists = true;
            *target = current;
            return true;
        }
        char link[PATH_MAX];
        ssize_t n = readlink(current.c_str(), link, sizeof(link) - 1);
        if (n < 0) {
            *why = Reason("its symbolic link cannot be read", errno);
            return false;
        }
        link[n] = 0;
        current = link[0] == '/' ? std::string(link) : FolderOf(current) + "/" + link;
    }
    *why = "its symbolic links lead round in a loop";
    return false;
}

bool ReadWhole(int fd, std::string *text) {
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text->append(buffer, size_t(n));
    }
}

bool WriteWhole(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

void LoadRegistryFile(RegistryFile &file, Tree &tree) {
    ResetTree(tree);
    file = RegistryFile();
    const char *path = getenv("KX_REGISTRY");
    file.path = path ? path : "";
    if (file.path.empty())
        return;
    struct stat st;
    std::string why;
    if (!FollowLinks(file.path, &file.target, &st, &file.exists, &why)) {
        Refuse(file, ERROR_CANTREAD, why);
        return;
    }
    if (!file.exists) {
        file.writable = true; // created at the first change
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        Refuse(file, ERROR_CANTREAD,
               S_ISDIR(st.st_mode) ? "is a folder, not a registry file" : "is not a regular file");
        return;
    }
    int fd = open(file.target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        Refuse(file, ERROR_CANTREAD, Reason("cannot be read", errno));
        return;
    }
    std::string text;
    bool read = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadWhole(fd, &text);
    int readError = errno;
    close(fd);
    if (!read) {
        Refuse(file, ERROR_CANTREAD, Reason("cannot be read", readError));
        return;
    }
    file.mode = st.st_mode & 07777;
    file.owner = st.st_uid;
    file.group = st.st_gid;
    int line = 0;
    if (!ParseTree(text, tree, &line, &why)) {
        ResetTree(tree);
        Refuse(file, ERROR_BADDB, "line " + std::to_string(line) + ": " + why);
        return;
    }
    if (text.empty())
        fprintf(stderr, "registry: %s is empty: the registry starts empty\n", file.path.c_str());
    // Write permission alone would let the owner's (or root's) saves replace
    // a file that was marked read-only on purpose.
    file.readOnly = access(file.target.c_str(), W_OK) != 0 || (file.mode & 0222) == 0;
    file.writable = !file.readOnly;
}

namespace {

// The save's new file beside the target, created empty; -1 when it cannot be.
int CreateTempFile(const std::string &temp) {
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        // Left behind by an earlier process of the same id that crashed.
        unlink(temp.c_str());
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    return fd;
}

// Gives the new file (fd, which may be -1) the old one's owner and mode and
// the text, flushed to the disk. Sets *failure on the first step that fails,
// leaving errno as that step left it; *st describes the new file.
void FillTempFile(const RegistryFile &file, int fd, const std::string &temp,
                  const std::string &text, struct stat *st, std::string *failure) {
    if (fd < 0) {
        *failure = "cannot create " + temp;
    } else if (fstat(fd, st) != 0) {
        *failure = "cannot examine " + temp;
    } else if (file.exists && (st->st_uid != file.owner || st->st_gid != file.group) &&
               fchown(fd, file.owner, file.group) != 0) {
        *failure = "cannot give the new file the old one's owner";
    } else if (file.exists && fchmod(fd, file.mode) != 0) {
        *failure = "cannot give the new file the old one's mode";
    } else if (!WriteWhole(fd, text) || fsync(fd) != 0) {
        *failure = "cannot write " + temp;
    }
}

void TellSaveFailed(RegistryFile &file, const std::string &failure, int error) {
    file.status = ERROR_CANTWRITE;
    if (!file.failureTold)
        fprintf(stderr, "registry: cannot save %s: %s (%s); changes are kept in memory only\n",
                file.path.c_str(), failure.c_str(), strerror(error));
    file.failureTold = true;
}

// After the rename: it made durable, the file's state that of a good save
// (st describes the file now in place).
void FinishSave(RegistryFile &file, const struct stat &st) {
    // The rename is durable once the folder is.
    int folder = open(FolderOf(file.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    if (file.status != ERROR_SUCCESS)
        fprintf(stderr, "registry: %s saved; it holds every change again\n", file.path.c_str());
    file.status = ERROR_SUCCESS;
    file.failureTold = false;
    if (!file.exists) {
        file.exists = true;
        file.mode = st.st_mode & 07777;
        file.owner = st.st_uid;
        file.group = st.st_gid;
    }
}

} // namespace

void SaveRegistryFile(RegistryFile &file, const Tree &tree) {
    if (file.readOnly && !file.readOnlyTold) {
        fprintf(stderr, "registry: %s is read-only: changes are kept in memory and not saved\n",
                file.path.c_str());
        file.readOnlyTold = true;
    }
    if (!file.writable)
        return;
    std::string text = SerialiseTree(tree);
    std::string temp = file.target + ".new." + std::to_string(getpid());
    std::string failure;
    int fd = CreateTempFile(temp);
    struct stat st;
    FillTempFile(file, fd, temp, text, &st, &failure);
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && failure.empty()) {
        error = errno;
        failure = "cannot write " + temp;
    }
    if (failure.empty() && rename(temp.c_str(), file.target.c_str()) != 0) {
        error = errno;
        failure = "cannot replace it";
    }
    if (!failure.empty()) {
        if (fd >= 0)
            unlink(temp.c_str());
        TellSaveFailed(file, failure, error);
        return;
    }
    FinishSave(file, st);
}

} // namespace kxreg
