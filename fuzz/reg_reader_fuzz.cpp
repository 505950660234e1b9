// Fuzz target: the platform registry's .reg reader and writer. The input is
// the text of the file named by KX_REGISTRY; the registry loads it as at
// process start.
//
// Checks:
//   - loading any text neither crashes nor leaks, and the loaded tree can be
//     walked with the Win32 calls (every subkey and value enumerated, every
//     value read back by name with its enumerated type and data);
//   - when the text loaded, a change is saved to the file, and loading that
//     file again gives exactly the tree that was in memory: what the
//     registry writes, it reads back unchanged. The change includes a key
//     and a value named by the input's bytes taken as UTF-16: any name the
//     registry accepts must come back the same (it may refuse a name).
#include <windows.h>

#include <kx_registry_test.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_report.h"

namespace {

std::string g_path;
[[noreturn]] void Fail(const char *what, const std::string &detail = "") {
    kxfuzz::Fail("reg_reader: %s\n%s", what, detail.c_str());
}

void WriteFile(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        Fail("cannot write the registry file", path);
    if (size && fwrite(data, 1, size, f) != size)
        Fail("short write of the registry file", path);
    fclose(f);
}

std::string ReadFile(const std::string &path) {
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buffer[8192];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        text.append(buffer, n);
    fclose(f);
    return text;
}

void AppendHex(std::string &out, const void *data, size_t size) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    char b[4];
    for (size_t i = 0; i < size; ++i) {
        snprintf(b, sizeof(b), "%02x", p[i]);
        out += b;
    }
}

// Each level below a root takes a backslash in a section name, so the input
// bounds the depth of the tree it can make (set per input).
int g_depthLimit = 0;

// A text picture of a key and everything below it, built from the Win32
// calls alone.
void Dump(HKEY key, int depth, std::string &out) {
    if (depth > g_depthLimit)
        Fail("the tree is deeper than any .reg file can make it");
    // One set of buffers for the whole walk: each is used up before the
    // walk descends, so the levels can share them.
    static std::vector<WCHAR> name(32768);
    static std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = DWORD(name.size());
        DWORD type = 0;
        DWORD dataSize = DWORD(data.size());
        LONG rc =
            RegEnumValueW(key, i, name.data(), &nameLength, NULL, &type, data.data(), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            Fail("a value cannot be enumerated");
        out += std::string(size_t(depth), ' ') + "value ";
        AppendHex(out, name.data(), nameLength * sizeof(WCHAR));
        out += " type " + std::to_string(type) + " data ";
        AppendHex(out, data.data(), dataSize);
        out += "\n";
        // The same value read by its name.
        DWORD queriedType = 0;
        std::vector<BYTE> queried(dataSize + 1);
        DWORD queriedSize = DWORD(queried.size());
        LONG queryRc =
            RegQueryValueExW(key, name.data(), NULL, &queriedType, queried.data(), &queriedSize);
        if (queryRc != ERROR_SUCCESS || queriedType != type || queriedSize != dataSize ||
            memcmp(queried.data(), data.data(), dataSize) != 0) {
            // Two values whose names differ only in case: the query finds
            // the first, so only the first of them is compared.
            bool shadowed = false;
            for (DWORD j = 0; j < i && !shadowed; ++j) {
                std::vector<WCHAR> other(32768);
                DWORD otherLength = DWORD(other.size());
                if (RegEnumValueW(key, j, other.data(), &otherLength, NULL, NULL, NULL, NULL) ==
                        ERROR_SUCCESS &&
                    otherLength == nameLength &&
                    _wcsnicmp(other.data(), name.data(), nameLength) == 0)
                    shadowed = true;
            }
            if (!shadowed) {
                std::string detail = "name ";
                AppendHex(detail, name.data(), nameLength * sizeof(WCHAR));
                detail += " query result " + std::to_string(queryRc) + " type " +
                          std::to_string(queriedType) + "/" + std::to_string(type) + " size " +
                          std::to_string(queriedSize) + "/" + std::to_string(dataSize);
                Fail("a value reads differently by name than by enumeration", detail);
            }
        }
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = DWORD(name.size());
        LONG rc = RegEnumKeyExW(key, i, name.data(), &nameLength, NULL, NULL, NULL, NULL);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            Fail("a subkey cannot be enumerated");
        out += std::string(size_t(depth), ' ') + "key ";
        AppendHex(out, name.data(), nameLength * sizeof(WCHAR));
        out += "\n";
        HKEY sub = NULL;
        if (RegOpenKeyExW(key, name.data(), 0, 0, &sub) != ERROR_SUCCESS)
            Fail("an enumerated subkey cannot be opened by its name");
        Dump(sub, depth + 1, out);
        RegCloseKey(sub);
    }
}

std::string DumpAll() {
    static const HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                  HKEY_USERS};
    std::string out;
    for (HKEY root : kRoots) {
        out += "root\n";
        Dump(root, 1, out);
    }
    return out;
}

// A name of up to 40 UTF-16 units from the input's bytes at `offset`,
// ending at a zero unit.
std::u16string NameFrom(const uint8_t *data, size_t size, size_t offset) {
    std::u16string name;
    for (size_t i = offset; i + 1 < size && name.size() < 40; i += 2) {
        char16_t c = char16_t(data[i] | (data[i + 1] << 8));
        if (c == 0)
            break;
        name += c;
    }
    return name;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ?: "/tmp");
    char dir[256];
    snprintf(dir, sizeof(dir), "%s/kxfuzz-reg-XXXXXX", base);
    if (!mkdtemp(dir))
        Fail("cannot make a folder for the registry file");
    g_path = std::string(dir) + "/registry.reg";
    setenv("KX_REGISTRY", g_path.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_depthLimit = 4 + int(std::count(data, data + size, uint8_t('\\')));
    WriteFile(g_path, data, size);
    kxtest::ReloadRegistry();
    std::string loaded = DumpAll();

    // A change: saved only when the file loaded (a file that did not load
    // is never overwritten).
    HKEY marker = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("KxFuzzMarker"), 0, NULL, 0, 0, NULL, &marker,
                        NULL) != ERROR_SUCCESS)
        Fail("cannot create a key");
    DWORD one = 1;
    if (RegSetValueExW(marker, TEXT("Saved"), 0, REG_DWORD, (const BYTE *)&one, sizeof(one)) !=
        ERROR_SUCCESS)
        Fail("cannot set a value");
    // Names from the input: each either refused or kept as it is.
    std::u16string keyName = NameFrom(data, size, 0);
    std::u16string valueName = NameFrom(data, size, size / 2 & ~size_t(1));
    HKEY named = NULL;
    if (RegCreateKeyExW(marker, keyName.c_str(), 0, NULL, 0, 0, NULL, &named, NULL) ==
        ERROR_SUCCESS) {
        RegSetValueExW(named, valueName.c_str(), 0, REG_DWORD, (const BYTE *)&one, sizeof(one));
        RegCloseKey(named);
    }
    RegSetValueExW(marker, valueName.c_str(), 0, REG_SZ, (const BYTE *)valueName.c_str(),
                   DWORD((valueName.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(marker);
    std::string saved = ReadFile(g_path);
    if (saved.size() == size && memcmp(saved.data(), data, size) == 0)
        return 0; // not loaded: the file is left alone, as it must be

    std::string inMemory = DumpAll();
    kxtest::ReloadRegistry();
    std::string reloaded = DumpAll();
    if (reloaded != inMemory)
        Fail("the saved registry reads back differently",
             "in memory:\n" + inMemory + "read back:\n" + reloaded + "file:\n" + saved);
    (void)loaded;
    return 0;
}
