// KxCmdApi loaded by path and its eleven exports found by name, as
// connection software on the handheld loads the driver DLL. The types are
// the driver's own (KxCmdApi.h); nothing here declares them again. Used by
// kxsim, the driver's tests, the integration tests and the benchmark.
// Header-only: it needs KxCmdApi.h, which kxhost itself does not.
#pragma once

#include "KxCmdApi.h"

#include <dlfcn.h>

#include <string>

namespace kxcmd {

struct Api {
    decltype(&::KxCmdOpen) Open = nullptr;
    decltype(&::KxCmdClose) Close = nullptr;
    decltype(&::KxCmdReopen) Reopen = nullptr;
    decltype(&::KxCmdLogon) Logon = nullptr;
    decltype(&::KxCmdLogoff) Logoff = nullptr;
    decltype(&::KxCmdConnectionState) ConnectionState = nullptr;
    decltype(&::KxCmdChannelRate) ChannelRate = nullptr;
    decltype(&::KxCmdGetSignalStrength) GetSignalStrength = nullptr;
    decltype(&::KxCmdSend) Send = nullptr;
    decltype(&::KxCmdReceive) Receive = nullptr;
    decltype(&::KxCmdAbort) Abort = nullptr;

    void *library = nullptr;
    std::string path;

    // dlopen of the file at `path` and dlsym of the eleven exports; false
    // with *error (and nothing loaded) otherwise.
    bool Load(const std::string &libraryPath, std::string *error) {
        path = libraryPath;
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            *error = dlerror();
            return false;
        }
        struct Export {
            const char *name;
            void **slot;
        } exports[] = {
            {"KxCmdOpen", reinterpret_cast<void **>(&Open)},
            {"KxCmdClose", reinterpret_cast<void **>(&Close)},
            {"KxCmdReopen", reinterpret_cast<void **>(&Reopen)},
            {"KxCmdLogon", reinterpret_cast<void **>(&Logon)},
            {"KxCmdLogoff", reinterpret_cast<void **>(&Logoff)},
            {"KxCmdConnectionState", reinterpret_cast<void **>(&ConnectionState)},
            {"KxCmdChannelRate", reinterpret_cast<void **>(&ChannelRate)},
            {"KxCmdGetSignalStrength", reinterpret_cast<void **>(&GetSignalStrength)},
            {"KxCmdSend", reinterpret_cast<void **>(&Send)},
            {"KxCmdReceive", reinterpret_cast<void **>(&Receive)},
            {"KxCmdAbort", reinterpret_cast<void **>(&Abort)},
        };
        for (const Export &e : exports) {
            *e.slot = dlsym(library, e.name);
            if (!*e.slot) {
                *error = path + " does not export " + e.name;
                for (const Export &bound : exports)
                    *bound.slot = nullptr;
                Unload();
                return false;
            }
        }
        return true;
    }

    // dlclose (the driver's DllMain runs process detach). True when the
    // library is really gone afterwards, false when something else keeps it
    // mapped.
    bool Unload() {
        if (!library)
            return true;
        dlclose(library);
        library = nullptr;
        void *still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (still)
            dlclose(still);
        return still == nullptr;
    }
};

} // namespace kxcmd
