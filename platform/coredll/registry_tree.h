// The registry's tree of keys and values, shared by the registry calls
// (registry.cpp) and the .reg file that backs them (registry_file.cpp).
// Every function here expects the registry's lock to be held.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace kxreg {

const DWORD kMaxKeyNameLength = 255;
const DWORD kMaxValueNameLength = 16383;

const int kRootCount = 4;
extern const char *const kRootNames[kRootCount];

struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    // What the file had for this value: the comment and blank lines just
    // above it, and its own line(s) as written, so that a save gives them
    // back unchanged. `fileText` is emptied when the value changes.
    std::vector<std::string> leadingLines;
    std::string fileText;
};

struct Key {
    std::u16string name;
    std::vector<std::shared_ptr<Key>> subkeys; // creation order
    std::vector<Value> values;                 // creation order
    bool deleted = false;
    // The key's section in the file, when it had one: its place among the
    // file's sections (-1: none), the lines above its header line, and the
    // header line as written.
    int section = -1;
    std::vector<std::string> leadingLines;
    std::string headerText;
};

// The four roots and what the file had around its sections.
struct Tree {
    std::shared_ptr<Key> roots[kRootCount];
    bool version5 = false;                // the file's header is the version 5 one
    bool crlf = true;                     // new lines end in CR LF (as the file's header did)
    std::vector<std::string> headerLines; // the header and the file-level comments after it
    std::vector<std::string> trailingLines;
};

// A fresh, empty tree.
void ResetTree(Tree &tree);

// Names compare case-insensitively, with the platform's case mapping (that
// of _wcsicmp).
bool SameName(const std::u16string &a, const std::u16string &b);
Key *FindSubkey(Key *key, const std::u16string &name, size_t *index = nullptr);
Value *FindValue(Key *key, const std::u16string &name, size_t *index = nullptr);
// Marks a key and everything below it deleted (handles to them then report
// ERROR_KEY_DELETED).
void MarkDeleted(Key *key);

// Splits a subkey path into its names. A leading backslash is tolerated, as
// on the target, and so is a trailing one; an empty name between two
// backslashes, or a name longer than 255 characters, is invalid.
bool SplitPath(const char16_t *path, std::vector<std::u16string> *names);

// True when the .reg file can carry the name on its line: a line break
// would end the line inside it.
bool StorableName(const std::u16string &name);

// REG_SZ data from text (with its terminator) and text from data (whole
// UTF-16 units).
std::vector<BYTE> StringData(const std::u16string &s);
std::u16string DataString(const std::vector<BYTE> &data);

} // namespace kxreg
