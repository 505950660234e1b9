// Resources of modules and files: the compiled .rc file (".res" format) that
// the build embeds in a library's ".kxrsrc" section, found at run time from
// the module's instance handle (its load address), and read with Win32
// semantics: FindResourceW and friends, LoadStringW, LoadIconW, LoadCursorW.
#include "resource_image.h"

#include <kxhost/case_fold.h>

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include <windows.h>

namespace kxwin {

// ---- parsing ----------------------------------------------------------------------

static uint16_t Get16(const uint8_t *p) {
    return uint16_t(p[0] | (p[1] << 8));
}
static uint32_t Get32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// An id (0xFFFF then the id) or a zero-terminated name; advances p.
static bool ReadNameOrId(const uint8_t *&p, const uint8_t *end, bool &isId, WORD &id,
                         std::u16string &name) {
    if (end - p < 2)
        return false;
    if (Get16(p) == 0xFFFF) {
        if (end - p < 4)
            return false;
        isId = true;
        id = Get16(p + 2);
        p += 4;
        return true;
    }
    isId = false;
    name.clear();
    while (end - p >= 2) {
        char16_t c = Get16(p);
        p += 2;
        if (!c)
            return true;
        name += c;
    }
    return false;
}

// The ".res" format: records of data size, header size, type, name,
// (aligned) data version, memory flags, language, version, characteristics,
// then the data, each record aligned to 4 bytes.
static bool ParseRes(const uint8_t *base, size_t size, std::vector<Resource> &out) {
    size_t off = 0;
    while (off + 8 <= size) {
        uint32_t dataSize = Get32(base + off);
        uint32_t headerSize = Get32(base + off + 4);
        if (headerSize < 16 || headerSize > size - off || dataSize > size - off - headerSize)
            return false;
        const uint8_t *p = base + off + 8;
        const uint8_t *headerEnd = base + off + headerSize;
        Resource r;
        if (!ReadNameOrId(p, headerEnd, r.typeIsId, r.typeId, r.typeName) ||
            !ReadNameOrId(p, headerEnd, r.nameIsId, r.nameId, r.nameName))
            return false;
        size_t rel = size_t(p - (base + off));
        rel = (rel + 3) & ~size_t(3);
        if (rel + 16 > headerSize)
            return false;
        r.language = Get16(base + off + rel + 6);
        r.data = base + off + headerSize;
        r.size = dataSize;
        // The first record of a .res file is empty (type 0, name 0).
        if (!(r.typeIsId && r.typeId == 0 && dataSize == 0))
            out.push_back(r);
        off += headerSize + dataSize;
        off = (off + 3) & ~size_t(3);
    }
    return true;
}

static bool IsRes(const uint8_t *p, size_t size) {
    static const uint8_t head[] = {0, 0, 0, 0, 0x20, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
    return size >= 32 && memcmp(p, head, sizeof(head)) == 0;
}

// The ".kxrsrc" section of a 64-bit little-endian ELF file.
static bool FindElfSection(const std::vector<uint8_t> &file, size_t &offset, size_t &size) {
    if (file.size() < sizeof(Elf64_Ehdr) || memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
        file[EI_CLASS] != ELFCLASS64)
        return false;
    Elf64_Ehdr eh;
    memcpy(&eh, file.data(), sizeof(eh));
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shoff == 0 || eh.e_shoff > file.size() ||
        uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr) > file.size() - eh.e_shoff ||
        eh.e_shstrndx >= eh.e_shnum)
        return false;
    auto section = [&](size_t i) {
        Elf64_Shdr sh;
        memcpy(&sh, file.data() + eh.e_shoff + i * sizeof(Elf64_Shdr), sizeof(sh));
        return sh;
    };
    Elf64_Shdr names = section(eh.e_shstrndx);
    if (names.sh_offset > file.size() || names.sh_size > file.size() - names.sh_offset)
        return false;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh = section(i);
        if (sh.sh_name >= names.sh_size || sh.sh_type == SHT_NOBITS)
            continue;
        const char *name =
            reinterpret_cast<const char *>(file.data() + names.sh_offset) + sh.sh_name;
        size_t maxLen = names.sh_size - sh.sh_name;
        if (strnlen(name, maxLen) == 7 && memcmp(name, ".kxrsrc", 7) == 0) {
            if (sh.sh_offset > file.size() || sh.sh_size > file.size() - sh.sh_offset)
                return false;
            offset = sh.sh_offset;
            size = sh.sh_size;
            return true;
        }
    }
    return false;
}

namespace {

// Where a PE image keeps its sections and resource directory, as ParsePe
// walks them. Offsets are into the file; each step checks its reads.
struct PeResources {
    using Entries = std::vector<std::pair<uint32_t, uint32_t>>; // (name or id, offset)

    const uint8_t *b = nullptr;
    size_t n = 0;
    uint16_t sections = 0;
    size_t table = 0; // the section table
    size_t root = 0;  // the resource directory

    // The file offset of an address in the image; false when no section
    // holds it or it lies past the file's end.
    bool ToOffset(uint32_t rva, size_t &off) const {
        for (size_t i = 0; i < sections; ++i) {
            const uint8_t *s = b + table + i * 40;
            uint32_t va = Get32(s + 12), raw = Get32(s + 16), ptr = Get32(s + 20);
            if (rva >= va && rva - va < raw) {
                off = ptr + (rva - va);
                return off < n;
            }
        }
        return false;
    }

    // Appends the entries of the directory at `dir` (named, then by id).
    bool DirEntries(size_t dir, Entries &entries) const {
        if (dir + 16 > n)
            return false;
        size_t count = size_t(Get16(b + dir + 12)) + Get16(b + dir + 14);
        if (dir + 16 + count * 8 > n)
            return false;
        for (size_t i = 0; i < count; ++i)
            entries.push_back({Get32(b + dir + 16 + i * 8), Get32(b + dir + 20 + i * 8)});
        return true;
    }

    // An entry's name: an id, or (high bit set) a counted string in the directory.
    bool NameOf(uint32_t name, bool &isId, WORD &id, std::u16string &text) const {
        if (!(name & 0x80000000u)) {
            isId = true;
            id = WORD(name);
            return true;
        }
        size_t at = root + (name & 0x7FFFFFFFu);
        if (at + 2 > n)
            return false;
        size_t len = Get16(b + at);
        if (at + 2 + len * 2 > n)
            return false;
        isId = false;
        text.clear();
        for (size_t i = 0; i < len; ++i)
            text += char16_t(Get16(b + at + 2 + i * 2));
        return true;
    }
};

} // namespace

// The headers up to the resource directory; false for a file that is not a
// PE image or has no resources.
static bool ReadPeHeaders(const std::vector<uint8_t> &file, PeResources &pe) {
    const uint8_t *b = file.data();
    size_t n = file.size();
    if (n < 0x40 || b[0] != 'M' || b[1] != 'Z')
        return false;
    uint32_t header = Get32(b + 0x3C);
    if (header > n - 24 || memcmp(b + header, "PE\0\0", 4) != 0)
        return false;
    uint16_t sections = Get16(b + header + 6);
    uint16_t optSize = Get16(b + header + 20);
    size_t opt = header + 24;
    if (opt + optSize > n || optSize < 2)
        return false;
    uint16_t magic = Get16(b + opt);
    size_t dirs = opt + (magic == 0x20B ? 112 : 96);
    if (dirs + 3 * 8 > opt + optSize)
        return false;
    uint32_t rsrcRva = Get32(b + dirs + 2 * 8);
    if (!rsrcRva)
        return false;
    size_t table = opt + optSize;
    if (table + size_t(sections) * 40 > n)
        return false;
    pe.b = b;
    pe.n = n;
    pe.sections = sections;
    pe.table = table;
    return pe.ToOffset(rsrcRva, pe.root);
}

// The resources (one per language) under one type's name entry at `dir`;
// leaves that do not fit the file are passed over.
static void AddLanguages(const PeResources &pe, uint32_t type, uint32_t name, size_t dir,
                         std::vector<Resource> &out) {
    PeResources::Entries langs;
    if (!pe.DirEntries(dir, langs))
        return;
    for (auto &l : langs) {
        if (l.second & 0x80000000u)
            continue;
        size_t leaf = pe.root + l.second;
        if (leaf + 16 > pe.n)
            continue;
        size_t dataOff;
        uint32_t dataSize = Get32(pe.b + leaf + 4);
        if (!pe.ToOffset(Get32(pe.b + leaf), dataOff) || dataSize > pe.n - dataOff)
            continue;
        Resource r;
        if (!pe.NameOf(type, r.typeIsId, r.typeId, r.typeName) ||
            !pe.NameOf(name, r.nameIsId, r.nameId, r.nameName))
            continue;
        r.language = WORD(l.first);
        r.data = pe.b + dataOff;
        r.size = dataSize;
        out.push_back(r);
    }
}

// The resource directory of a PE image (three levels: type, name, language).
static bool ParsePe(const std::vector<uint8_t> &file, std::vector<Resource> &out) {
    PeResources pe;
    if (!ReadPeHeaders(file, pe))
        return false;
    PeResources::Entries types;
    if (!pe.DirEntries(pe.root, types))
        return false;
    for (auto &t : types) {
        if (!(t.second & 0x80000000u))
            continue;
        PeResources::Entries names;
        if (!pe.DirEntries(pe.root + (t.second & 0x7FFFFFFFu), names))
            continue;
        for (auto &nm : names) {
            if (nm.second & 0x80000000u)
                AddLanguages(pe, t.first, nm.first, pe.root + (nm.second & 0x7FFFFFFFu), out);
        }
    }
    return true;
}

std::shared_ptr<const ResourceImage> LoadResourceImage(const std::string &hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in)
        return nullptr;
    auto image = std::make_shared<ResourceImage>();
    image->path = hostPath;
    image->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const std::vector<uint8_t> &b = image->bytes;
    size_t offset = 0, size = 0;
    bool ok = false;
    if (FindElfSection(b, offset, size))
        ok = ParseRes(b.data() + offset, size, image->resources);
    else if (IsRes(b.data(), b.size()))
        ok = ParseRes(b.data(), b.size(), image->resources);
    else
        ok = ParsePe(b, image->resources);
    if (!ok || image->resources.empty())
        return nullptr;
    return image;
}

// ---- modules ------------------------------------------------------------------------

namespace {
// Guards moduleCache. Images are never removed: resource pointers handed out
// (LockResource, icons) stay valid for the life of the process.
std::mutex moduleLock;
std::map<std::pair<HINSTANCE, std::string>, std::shared_ptr<const ResourceImage>> moduleCache;

struct PhdrSearch {
    uintptr_t address;
    std::string path;
};

int FindObject(struct dl_phdr_info *info, size_t, void *data) {
    auto *search = static_cast<PhdrSearch *>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (search->address >= start && search->address < start + ph.p_memsz) {
            search->path = info->dlpi_name ? info->dlpi_name : "";
            if (search->path.empty())
                search->path = "/proc/self/exe";
            return 1;
        }
    }
    return 0;
}
} // namespace

static std::string ModulePath(HINSTANCE module) {
    PhdrSearch search{reinterpret_cast<uintptr_t>(module), {}};
    if (dl_iterate_phdr(FindObject, &search))
        return search.path;
    return {};
}

std::shared_ptr<const ResourceImage> ModuleResources(HINSTANCE module) {
    if (!module)
        return nullptr;
    std::string path = ModulePath(module);
    if (path.empty())
        return nullptr;
    std::lock_guard<std::mutex> guard(moduleLock);
    auto key = std::make_pair(module, path);
    auto it = moduleCache.find(key);
    if (it != moduleCache.end())
        return it->second;
    auto image = LoadResourceImage(path);
    if (image)
        moduleCache[key] = image;
    return image;
}

static bool Matches(bool isId, WORD id, const std::u16string &name, LPCWSTR want) {
    if (IS_INTRESOURCE(want))
        return isId && id == WORD(reinterpret_cast<ULONG_PTR>(want));
    if (want[0] == u'#') {
        unsigned long value = 0;
        for (const WCHAR *p = want + 1; *p >= u'0' && *p <= u'9'; ++p)
            value = value * 10 + (*p - u'0');
        return isId && id == WORD(value);
    }
    return !isId && kxhost::EqualNoCase16(name.c_str(), want);
}

const Resource *FindIn(const ResourceImage &image, LPCWSTR type, LPCWSTR name, WORD language) {
    const Resource *best = nullptr;
    int bestRank = 99;
    for (const Resource &r : image.resources) {
        if (!Matches(r.typeIsId, r.typeId, r.typeName, type) ||
            !Matches(r.nameIsId, r.nameId, r.nameName, name))
            continue;
        int rank;
        if (language != 0xFFFF)
            rank = r.language == language ? 0 : 99;
        else
            rank = r.language == 0 ? 0 : r.language == 0x0409 ? 1 : 2;
        if (rank < bestRank) {
            best = &r;
            bestRank = rank;
        }
    }
    return best;
}

} // namespace kxwin

using namespace kxwin;

// ---- FindResource and friends ---------------------------------------------------------

extern "C" HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
    if (!type || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto image = ModuleResources(module);
    if (!image) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    const Resource *r = FindIn(*image, type, name, language);
    if (!r) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    // The image stays cached for the process's life, so the record does too.
    return reinterpret_cast<HRSRC>(const_cast<Resource *>(r));
}

extern "C" HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    return FindResourceExW(module, type, name, 0xFFFF);
}

extern "C" HGLOBAL LoadResource(HMODULE, HRSRC resource) {
    if (!resource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<uint8_t *>(reinterpret_cast<Resource *>(resource)->data);
}

extern "C" LPVOID LockResource(HGLOBAL data) {
    return data;
}

extern "C" DWORD SizeofResource(HMODULE, HRSRC resource) {
    return resource ? reinterpret_cast<Resource *>(resource)->size : 0;
}

// ---- strings ------------------------------------------------------------------------

extern "C" int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int max) {
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Sixteen strings per block; block n holds ids (n - 1) * 16 to n * 16 - 1,
    // each a count of characters followed by them (no terminator).
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW((id >> 4) + 1), RT_STRING);
    if (!found) {
        if (max > 0)
            buffer[0] = 0;
        return 0;
    }
    const Resource *r = reinterpret_cast<Resource *>(found);
    const uint8_t *p = r->data;
    const uint8_t *end = r->data + r->size;
    for (UINT i = 0; i < (id & 15); ++i) {
        if (end - p < 2)
            return 0;
        size_t len = Get16(p);
        if (size_t(end - p - 2) < len * 2)
            return 0;
        p += 2 + len * 2;
    }
    if (end - p < 2)
        return 0;
    int len = Get16(p);
    if ((end - p - 2) < len * 2)
        return 0;
    if (max == 0) {
        // The caller gets a read-only pointer into the resource itself.
        const WCHAR *text = reinterpret_cast<const WCHAR *>(p + 2);
        memcpy(buffer, &text, sizeof(text));
        return len;
    }
    if (len == 0) {
        buffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    int copy = len < max - 1 ? len : max - 1;
    memcpy(buffer, p + 2, size_t(copy) * 2);
    buffer[copy] = 0;
    return copy;
}
