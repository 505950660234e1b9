// Libraries and modules: instance handles are load base addresses, as
// Windows' module handles are; local memory; platform counters for tests.
#include "kernel_objects.h"
#include "kx_platform_test.h"

#include <kxhost/utf.h>

#include <cstdlib>
#include <cstring>
#include <link.h>
#include <unistd.h>

namespace {

struct ModuleSearch {
    uintptr_t base;
    std::string path;
    bool found;
};

int FindModule(struct dl_phdr_info *info, size_t, void *data) {
    auto *search = static_cast<ModuleSearch *>(data);
    // The load base is the lowest address of the first loadable segment.
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            uintptr_t start = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            start &= ~static_cast<uintptr_t>(
                info->dlpi_phdr[i].p_align ? info->dlpi_phdr[i].p_align - 1 : 0);
            if (start == search->base || info->dlpi_addr == search->base) {
                search->path = info->dlpi_name ? info->dlpi_name : "";
                search->found = true;
                return 1;
            }
            break;
        }
    }
    return 0;
}

} // namespace

extern "C" BOOL DisableThreadLibraryCalls(HMODULE) {
    return TRUE; // the host never sends thread notifications
}

extern "C" DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::string path;
    if (!module) {
        char buffer[4096];
        ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        if (n <= 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return 0;
        }
        path.assign(buffer, static_cast<size_t>(n));
    } else {
        ModuleSearch search{reinterpret_cast<uintptr_t>(module), std::string(), false};
        dl_iterate_phdr(FindModule, &search);
        if (!search.found) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
        path = search.path;
    }
    std::u16string wide = kxhost::Utf8ToUtf16(path);
    if (!fileName || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Win32: a name that does not fit is cut to size - 1 characters and
    // terminated; the result is then size and the error is set.
    if (wide.size() >= size) {
        memcpy(fileName, wide.data(), (size - 1) * sizeof(WCHAR));
        fileName[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(fileName, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(wide.size());
}

extern "C" HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    void *p = (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

extern "C" HLOCAL LocalFree(HLOCAL memory) {
    free(memory);
    return nullptr;
}

namespace kxtest {

int OpenHandleCount() {
    return kx::HandleCount();
}
int RunningThreadCount() {
    return kx::RunningThreads();
}

} // namespace kxtest
