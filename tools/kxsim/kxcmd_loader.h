// Loads KxCmdApi by path and finds its exports by name, as connection
// software on the handheld loads the driver DLL. Used by "kxsim connect", the
// integration tests and the benchmark. Header-only.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <string>

namespace kxcmd {

// The records and callbacks that cross the driver's exports. Values the
// driver gives 32 bits are 32-bit here; pointers and contexts are pointer-sized.
using CompletionCallback = void (*)(uint32_t status, const void *data, uint32_t size,
                                    void *context);
using StatusCallback = void (*)(uint32_t zero, uint32_t status, uint32_t reconfigure,
                                void *context);

struct LogonParameters {
    const char *accessPointName;
    const char *userName;
    const char *password;
    uint32_t primaryDns;
    uint32_t secondaryDns;
    uint8_t authentication;
};

struct LogonCallbacks {
    CompletionCallback completion;
    void *completionContext;
    StatusCallback statusCallback;
    void *statusContext;
};

struct ChannelRates {
    uint32_t currentTxRate, currentRxRate, maxTxRate, maxRxRate;
};

struct Api {
    int (*Open)();
    int (*Close)();
    int (*Reopen)(uint32_t timeLimit);
    int (*Logon)(uint32_t channel, const LogonParameters *parameters, uint32_t ignored,
                 const LogonCallbacks *callbacks);
    int (*Logoff)(uint32_t channel, CompletionCallback callback, void *context);
    int (*ConnectionState)(uint32_t channel, CompletionCallback callback, void *context,
                           uint32_t *state);
    int (*ChannelRate)(uint32_t channel, CompletionCallback callback, void *context,
                       ChannelRates *rates);
    int (*GetSignalStrength)(CompletionCallback callback, void *context);
    int (*Send)(uint32_t channel, const void *buffer, uint32_t *length, uint32_t timeout);
    int (*Receive)(uint32_t channel, void *buffer, uint32_t *length, uint32_t timeout);
    int (*Abort)(uint32_t channel, uint32_t send, uint32_t receive);

    void *library = nullptr;

    // dlopen of the file at `path` and dlsym of the eleven exports.
    bool Load(const std::string &path, std::string *error) {
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            *error = dlerror();
            return false;
        }
        struct Entry {
            const char *name;
            void **slot;
        } entries[] = {
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
        for (const auto &e : entries) {
            *e.slot = dlsym(library, e.name);
            if (!*e.slot) {
                *error = std::string(path) + " does not export " + e.name;
                Unload();
                return false;
            }
        }
        return true;
    }
    // dlclose: the driver's DllMain runs process detach (its close).
    void Unload() {
        if (library)
            dlclose(library);
        library = nullptr;
    }
};

} // namespace kxcmd
