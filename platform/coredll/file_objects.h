// Internal: the objects behind file handles (stream devices and files).
#pragma once

#include "kernel_objects.h"

namespace kx {

class FileObject : public Object {
  public:
    FileObject() : Object(ObjectKind::File) {}
    static bool HoldsKind(ObjectKind k) { return k == ObjectKind::File; }
    virtual BOOL Read(void *buffer, DWORD toRead, DWORD *read) = 0;
    virtual BOOL Write(const void *buffer, DWORD toWrite, DWORD *written) = 0;
    virtual BOOL GetTimeouts(COMMTIMEOUTS *) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    virtual BOOL SetTimeouts(const COMMTIMEOUTS *) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    virtual BOOL Purge(DWORD) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    virtual DWORD Size(DWORD *high) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return INVALID_FILE_SIZE;
    }
    virtual DWORD Seek(LONG distance, LONG *high, DWORD method) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return INVALID_SET_FILE_POINTER;
    }
};

// "XXXn:" names a stream device.
bool IsStreamDeviceName(const WCHAR *name);
// Opens a stream device: an in-process test device registered under the
// name, else the module's socket under kxhost::DefaultDeviceFolder(). Null on failure
// (last error set).
std::shared_ptr<FileObject> OpenStreamDevice(const WCHAR *name);

} // namespace kx
