// The registry: an in-memory tree of keys and values with Win32 / Windows CE
// semantics, optionally backed by a REGEDIT4 file (KX_REGISTRY).
//
// Keys keep their subkeys and values in creation order, which is the order of
// enumeration (and, for a loaded file, the file's order). Names compare
// case-insensitively. A handle holds a reference to its key; a deleted key
// stays alive for the handles that still refer to it, which then report
// ERROR_KEY_DELETED.
//
// The file is read at first use and every change is saved to it; how the
// file is read, written and kept is in registry_file.h. The tree itself is in
// registry_tree.h.

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

// The C++ library first: winnls.h adds 16-bit overloads of wcstol and
// friends that its string header must not see.
#include <windows.h>

#include "kernel_objects.h"
#include "kx_platform_ext.h"
#include "kx_registry_test.h"
#include "registry_file.h"
#include "registry_tree.h"

namespace {

using kxreg::FindSubkey;
using kxreg::FindValue;
using kxreg::Key;
using kxreg::kRootCount;
using kxreg::MarkDeleted;
using kxreg::SplitPath;
using kxreg::Value;

// An open key is an object of the platform's handle table, so it counts
// among the process's open handles.
struct KeyHandle : kx::Object {
    KeyHandle() : kx::Object(kx::ObjectKind::RegistryKey) {}
    static bool HoldsKind(kx::ObjectKind k) { return k == kx::ObjectKind::RegistryKey; }
    std::shared_ptr<Key> key;
};

// The one registry of the process. `lock` guards every member and every Key
// reachable from them; it is a leaf lock (no other lock is taken while it is
// held). Saving happens under it, so that saves reach the file in the order
// of the changes.
struct Registry {
    std::mutex lock;
    bool loaded = false;
    kxreg::Tree tree;
    std::unordered_set<HANDLE> handles; // open key handles, for ReloadRegistry
    kxreg::RegistryFile file;
};

// Never destroyed: registry calls stay valid in other libraries' destructors
// at process exit.
Registry &Reg() {
    static Registry *registry = new Registry;
    return *registry;
}

std::u16string FromWide(LPCWSTR s) {
    if (!s)
        return std::u16string();
    return std::u16string(s);
}

void EnsureLoaded(Registry &r) {
    if (r.loaded)
        return;
    r.loaded = true;
    kxreg::LoadRegistryFile(r.file, r.tree);
}

void Save(Registry &r) {
    kxreg::SaveRegistryFile(r.file, r.tree);
}

// Resolves a handle to its key, lock held. Returns ERROR_SUCCESS or the
// error to report.
LONG Resolve(Registry &r, HKEY hKey, Key **key) {
    EnsureLoaded(r);
    ULONG_PTR v = (ULONG_PTR)hKey;
    for (int i = 0; i < kRootCount; ++i) {
        if (v == (ULONG_PTR)(LONG)(0x80000000u + unsigned(i))) {
            *key = r.tree.roots[i].get();
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
        if (r.tree.roots[i].get() == key)
            return r.tree.roots[i];
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
    // A name the file cannot carry is refused: it would not read back.
    for (const auto &n : names) {
        if (!kxreg::StorableName(n))
            return ERROR_INVALID_PARAMETER;
    }
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
    if (name.size() > kxreg::kMaxValueNameLength || !kxreg::StorableName(name))
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
    v->fileText.clear(); // written anew from now on
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

BOOL KxRegistryNameStorable(LPCWSTR name) {
    return kxreg::StorableName(FromWide(name)) ? TRUE : FALSE;
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
    for (auto &root : r.tree.roots)
        root.reset();
    r.loaded = false;
    r.file = kxreg::RegistryFile();
}

LONG RegistryFileStatus() {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    EnsureLoaded(r);
    return r.file.status;
}

} // namespace kxtest
