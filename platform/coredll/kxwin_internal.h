// Internal helpers of coredll's window, resource, version and TAPI code
// (not part of the API). Everything lives in namespace kxwin so that it
// cannot collide with the rest of coredll.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace kxwin {

// UTF-16 <-> UTF-8 without the code-page machinery.
std::string Utf8(const WCHAR *text);
std::string Utf8(const std::u16string &text);
std::u16string Utf16(const std::string &text);
bool EqualNoCase16(const WCHAR *a, const WCHAR *b); // ASCII letters fold

// Host path of a device path: "\windows\x.dll" is <root>/windows/x.dll with
// each component matched case-insensitively when no exact match exists. A
// path not beginning with "\" is taken as a host path.
std::string HostPathOfDeviceFile(const WCHAR *devicePath);

// One resource of a compiled resource script.
struct Resource {
    bool typeIsId = true;
    WORD typeId = 0;
    std::u16string typeName;
    bool nameIsId = true;
    WORD nameId = 0;
    std::u16string nameName;
    WORD language = 0;
    const uint8_t *data = nullptr;
    DWORD size = 0;
};

// The resources of one file, with the bytes they point into.
struct ResourceImage {
    std::string path;
    std::vector<uint8_t> bytes;
    std::vector<Resource> resources;
};

// Reads a file (ELF with a .kxrsrc section, a .res file, or a PE image) and
// parses its resources. Null when the file cannot be read or carries none.
std::shared_ptr<const ResourceImage> LoadResourceImage(const std::string &hostPath);
// The resources of a loaded module, by its instance handle (load address);
// cached for the life of the process.
std::shared_ptr<const ResourceImage> ModuleResources(HINSTANCE module);
// First resource of that type and name (ids or case-insensitive names);
// language 0xFFFF matches any, preferring neutral and US English.
const Resource *FindIn(const ResourceImage &image, LPCWSTR type, LPCWSTR name,
                       WORD language = 0xFFFF);

} // namespace kxwin
