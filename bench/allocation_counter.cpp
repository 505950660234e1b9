// Allocation counting by interposition; see allocation_counter.h. The
// sanitizer builds own malloc, so the benchmark is built only without one.
#include "allocation_counter.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace kxbench {
namespace {

std::atomic<bool> counting{false};
std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> driverAllocations{0};
struct Range {
    uintptr_t lo, hi;
};
Range driverRanges[8];
int driverRangeCount = 0;
std::atomic<uintptr_t> callers[4];

int FindDriver(dl_phdr_info *info, size_t, void *) {
    const char *name = info->dlpi_name;
    size_t n = name ? strlen(name) : 0;
    if (n < 11 || strcmp(name + n - 11, "KxCmdApi.so") != 0)
        return 0;
    for (int i = 0; i < info->dlpi_phnum && driverRangeCount < 8; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X))
            driverRanges[driverRangeCount++] = {info->dlpi_addr + ph.p_vaddr,
                                                info->dlpi_addr + ph.p_vaddr + ph.p_memsz};
    }
    return 1;
}

} // namespace

void NoteAllocation(void *caller) {
    if (!counting.load(std::memory_order_relaxed))
        return;
    allocations.fetch_add(1, std::memory_order_relaxed);
    auto a = reinterpret_cast<uintptr_t>(caller);
    for (auto &slot : callers) {
        uintptr_t expected = 0;
        if (slot.load(std::memory_order_relaxed) == a ||
            slot.compare_exchange_strong(expected, a, std::memory_order_relaxed))
            break;
    }
    for (int i = 0; i < driverRangeCount; ++i) {
        if (a >= driverRanges[i].lo && a < driverRanges[i].hi)
            driverAllocations.fetch_add(1, std::memory_order_relaxed);
    }
}

void FindDriverCode() {
    driverRangeCount = 0;
    dl_iterate_phdr(FindDriver, nullptr);
}

bool AllocationCounterWorks() {
    StartCounting();
    void *volatile probe = malloc(16);
    AllocationCount seen = StopCounting();
    free(probe);
    return seen.all == 1;
}

void StartCounting() {
    for (auto &slot : callers)
        slot = 0;
    allocations = 0;
    driverAllocations = 0;
    counting = true;
}

AllocationCount StopCounting() {
    counting = false;
    return {allocations.load(), driverAllocations.load()};
}

std::string AllocatingCallers() {
    std::string text;
    for (auto &slot : callers) {
        Dl_info info;
        uintptr_t a = slot;
        if (!a || !dladdr(reinterpret_cast<void *>(a), &info))
            continue;
        const char *file = info.dli_fname ? strrchr(info.dli_fname, '/') : nullptr;
        char offset[32];
        snprintf(offset, sizeof offset, "+0x%lx",
                 static_cast<unsigned long>(a - reinterpret_cast<uintptr_t>(info.dli_fbase)));
        text += std::string(text.empty() ? "" : ", ") + (info.dli_sname ? info.dli_sname : "?") +
                " in " + (file ? file + 1 : "?") + offset;
    }
    return text;
}

} // namespace kxbench

extern "C" void *malloc(size_t n) {
    kxbench::NoteAllocation(__builtin_return_address(0));
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
    kxbench::NoteAllocation(__builtin_return_address(0));
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
    kxbench::NoteAllocation(__builtin_return_address(0));
    return __libc_realloc(p, n);
}
void *operator new(size_t n) {
    kxbench::NoteAllocation(__builtin_return_address(0));
    void *p = __libc_malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new[](size_t n) {
    kxbench::NoteAllocation(__builtin_return_address(0));
    void *p = __libc_malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept {
    __libc_free(p);
}
void operator delete[](void *p) noexcept {
    __libc_free(p);
}
void operator delete(void *p, size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void *p, size_t) noexcept {
    __libc_free(p);
}
