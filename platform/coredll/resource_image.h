// Resources of coredll's modules and files, as its resource, icon, dialog
// and version code reads them: a file's resources parsed once, looked up by
// type, name and language.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace kxwin {

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
