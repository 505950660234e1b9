// The process-wide handle table and CloseHandle.
#include "kx_internal.h"
#include "scheduler.h"

#include <unordered_map>

namespace kx {
namespace {

// Handle values are multiples of 4 that are never reused within a process,
// so a stale handle is recognised as invalid instead of naming a new object.
struct HandleTable {
    std::mutex mutex; // guards the two fields below
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x1000;
};

HandleTable &Table() {
    static HandleTable *table = new HandleTable; // outlives every static destructor
    return *table;
}

} // namespace

HANDLE AddHandle(std::shared_ptr<Object> object) {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.mutex);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end())
        return nullptr;
    return it->second;
}

int HandleCount() {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.mutex);
    return static_cast<int>(t.objects.size());
}

} // namespace kx

extern "C" BOOL CloseHandle(HANDLE handle) {
    KX_SCHEDULING_POINT("CloseHandle", handle);
    std::shared_ptr<kx::Object> object;
    {
        kx::HandleTable &t = kx::Table();
        std::lock_guard<std::mutex> guard(t.mutex);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it != t.objects.end()) {
            object = std::move(it->second);
            t.objects.erase(it);
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->OnClose();
    return TRUE;
}
