// The registry's tree: name comparison, lookups and paths (see
// registry_tree.h).
#include "registry_tree.h"

#include "text_internal.h"

namespace kxreg {

const char *const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                            "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

void ResetTree(Tree &tree) {
    for (int i = 0; i < kRootCount; ++i) {
        tree.roots[i] = std::make_shared<Key>();
        for (const char *c = kRootNames[i]; *c; ++c)
            tree.roots[i]->name += char16_t(*c);
    }
    tree.version5 = false;
    tree.crlf = true;
    tree.headerLines.clear();
    tree.trailingLines.clear();
}

bool SameName(const std::u16string &a, const std::u16string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (kx::ToLower16(a[i]) != kx::ToLower16(b[i]))
            return false;
    }
    return true;
}

Key *FindSubkey(Key *key, const std::u16string &name, size_t *index) {
    for (size_t i = 0; i < key->subkeys.size(); ++i) {
        if (SameName(key->subkeys[i]->name, name)) {
            if (index)
                *index = i;
            return key->subkeys[i].get();
        }
    }
    return nullptr;
}

Value *FindValue(Key *key, const std::u16string &name, size_t *index) {
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

bool SplitPath(const char16_t *path, std::vector<std::u16string> *names) {
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

bool StorableName(const std::u16string &name) {
    return name.find_first_of(u"\r\n") == std::u16string::npos;
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

} // namespace kxreg
