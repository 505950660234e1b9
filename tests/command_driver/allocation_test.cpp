// Requests allocate nothing in the driver: every allocation function of
// this program is replaced by one that counts the calls made from the
// driver's own code (by return address).
#include "channel_test.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>

#include <atomic>
#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KX_COUNTING_ALLOCATOR 0 // the sanitizers own the allocator
#else
#define KX_COUNTING_ALLOCATOR 1
#endif

namespace {

std::atomic<uintptr_t> driverLow{0}, driverHigh{0};
std::atomic<int> driverAllocations{0};
std::atomic<int> allAllocations{0};

inline void Note(void *caller) {
    allAllocations.fetch_add(1, std::memory_order_relaxed);
    uintptr_t at = reinterpret_cast<uintptr_t>(caller);
    if (at >= driverLow.load(std::memory_order_relaxed) &&
        at < driverHigh.load(std::memory_order_relaxed))
        driverAllocations.fetch_add(1);
}

} // namespace

#if KX_COUNTING_ALLOCATOR
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t size) {
    Note(__builtin_return_address(0));
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    Note(__builtin_return_address(0));
    return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size) {
    Note(__builtin_return_address(0));
    return __libc_realloc(p, size);
}
}

void *operator new(size_t size) {
    Note(__builtin_return_address(0));
    if (void *p = __libc_malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) {
    Note(__builtin_return_address(0));
    if (void *p = __libc_malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
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
#endif

namespace kxtest {
namespace {

// The address range of the loaded driver's code.
void FindDriverCode() {
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *) {
            const char *name = info->dlpi_name;
            size_t length = strlen(name);
            if (length < 11 || strcmp(name + length - 11, "KxCmdApi.so") != 0)
                return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) &segment = info->dlpi_phdr[i];
                if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X)) {
                    driverLow = info->dlpi_addr + segment.p_vaddr;
                    driverHigh = info->dlpi_addr + segment.p_vaddr + segment.p_memsz;
                }
            }
            return 1;
        },
        nullptr);
}

class Allocation : public DriverTest {};
class DataAllocation : public ChannelTest {};

TEST_F(Allocation, DriverImportsNoAllocationFunction) {
    std::string command = "nm -D --undefined-only " + KxCmdLibrary::Path();
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512];
    std::string imports;
    while (fgets(line, sizeof line, pipe))
        imports += line;
    pclose(pipe);
    ASSERT_NE(imports.find("CreateFileW"), std::string::npos) << imports;
    for (const char *name : {" malloc", " calloc", " realloc", " _Znwm", " _Znam", "LocalAlloc"})
        EXPECT_EQ(imports.find(name), std::string::npos) << name;
}

TEST_F(Allocation, RequestsAllocateNothingInTheDriver) {
    if (!KX_COUNTING_ALLOCATOR)
        GTEST_SKIP() << "the sanitizer replaces the allocator";
    FindDriverCode();
    ASSERT_NE(driverLow.load(), 0u);
    driverAllocations = 0;
    allAllocations = 0;
    OpenDriver();
    Completions done;
    CompletionContext context{&done, 1};
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context));
    ASSERT_TRUE(done.WaitFor(50));
    EXPECT_TRUE(kx.Close());
    EXPECT_EQ(driverAllocations.load(), 0);
    // The replacement does see allocations (the platform's), and counts
    // calls from the driver's range.
    EXPECT_GT(allAllocations.load(), 0);
    Note(reinterpret_cast<void *>(driverLow.load()));
    EXPECT_EQ(driverAllocations.load(), 1);
    driverLow = driverHigh = 0;
}

TEST_F(DataAllocation, TransfersAllocateNothingInTheDriver) {
    if (!KX_COUNTING_ALLOCATOR)
        GTEST_SKIP() << "the sanitizer replaces the allocator";
    ASSERT_TRUE(Logon(0));
    FindDriverCode();
    driverAllocations = 0;
    uint8_t buffer[64] = {0x45};
    for (int i = 0; i < 50; ++i) {
        data[0]->Push(Bytes{0x45, 0, 0, 1});
        DWORD length = 20;
        ASSERT_TRUE(kx.Send(0, buffer, &length, i % 2 ? 100 : MAXDWORD));
        length = sizeof buffer;
        ASSERT_TRUE(kx.Receive(0, buffer, &length, MAXDWORD));
        ASSERT_EQ(length, 4u); // the data came through the caller's buffer
        kx.Abort(0, TRUE, TRUE);
    }
    EXPECT_EQ(driverAllocations.load(), 0);
    driverLow = driverHigh = 0;
}

} // namespace
} // namespace kxtest
