// Linked into every deliverable: the host's loader calls the library's
// DllMain with process attach when the shared library is loaded and with
// process detach when it is unloaded (dlclose or process exit), passing the
// module's instance handle (its load base address, as on Windows).
#include <windows.h>

#include <dlfcn.h>
#include <stdio.h>

extern "C" BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved);

namespace {

HANDLE ThisModule() {
    static const int marker = 0;
    Dl_info info;
    if (dladdr(&marker, &info) && info.dli_fbase)
        return info.dli_fbase;
    return nullptr;
}

__attribute__((constructor)) void KxProcessAttach() {
    if (!DllMain(ThisModule(), DLL_PROCESS_ATTACH, nullptr)) {
        Dl_info info;
        const char *name =
            dladdr(reinterpret_cast<void *>(&KxProcessAttach), &info) && info.dli_fname
                ? info.dli_fname
                : "library";
        fprintf(stderr, "%s: DllMain refused process attach\n", name);
    }
}

__attribute__((destructor)) void KxProcessDetach() {
    DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr);
}

} // namespace
