// A deliverable's DllMain runs with process attach at load (with its
// instance handle) and process detach at unload.
#include <windows.h>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

std::string BinDirectory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = 0;
    std::string s(path);
    return s.substr(0, s.find_last_of('/'));
}

TEST(DllEntry, AttachAtLoadDetachAtUnload) {
    HANDLE detached = CreateEventW(nullptr, TRUE, FALSE, TEXT("KxEntryProbeDetached"));
    ASSERT_NE(detached, nullptr);
    void *library = dlopen((BinDirectory() + "/KxEntryProbe.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();

    auto instance = reinterpret_cast<HANDLE (*)()>(dlsym(library, "ProbeInstance"));
    auto attachCount = reinterpret_cast<DWORD (*)()>(dlsym(library, "ProbeAttachCount"));
    ASSERT_TRUE(instance && attachCount);
    EXPECT_EQ(attachCount(), 1u);
    Dl_info info;
    ASSERT_TRUE(dladdr(reinterpret_cast<void *>(instance), &info));
    EXPECT_EQ(instance(), info.dli_fbase) << "the instance handle is the module's load base";
    EXPECT_EQ(WaitForSingleObject(detached, 0), WAIT_TIMEOUT);

    // Only the .def names are exported.
    EXPECT_EQ(dlsym(library, "DllMain"), nullptr);

    ASSERT_EQ(dlclose(library), 0);
    EXPECT_EQ(WaitForSingleObject(detached, 0), WAIT_OBJECT_0) << "DllMain saw process detach";
    CloseHandle(detached);
}

} // namespace
