// CreateFileW and the file-handle calls: stream devices ("XXXn:") and files
// under the device root (paths beginning with "\"). Opening a stream device
// and the calls on file handles are scheduling points under the
// deterministic scheduler.
#include "file_objects.h"
#include "scheduler.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {
namespace {

class RegularFile : public FileObject {
  public:
    explicit RegularFile(int descriptor) : fd(descriptor) {}
    ~RegularFile() override { close(fd); }

    BOOL Read(void *buffer, DWORD toRead, DWORD *read) override {
        ssize_t r;
        do {
            r = ::read(fd, buffer, toRead);
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            SetLastError(ERROR_CANTREAD);
            return FALSE;
        }
        if (read)
            *read = static_cast<DWORD>(r);
        return TRUE;
    }

    BOOL Write(const void *buffer, DWORD toWrite, DWORD *written) override {
        ssize_t r;
        do {
            r = ::write(fd, buffer, toWrite);
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            SetLastError(ERROR_CANTWRITE);
            return FALSE;
        }
        if (written)
            *written = static_cast<DWORD>(r);
        return TRUE;
    }

    DWORD Size(DWORD *high) override {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return INVALID_FILE_SIZE;
        }
        uint64_t size = static_cast<uint64_t>(st.st_size);
        if (high)
            *high = static_cast<DWORD>(size >> 32);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(size);
    }

    DWORD Seek(LONG distance, LONG *high, DWORD method) override {
        int64_t offset =
            high ? ((static_cast<int64_t>(*high) << 32) | static_cast<uint32_t>(distance))
                 : distance;
        int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
        off_t result = lseek(fd, offset, whence);
        if (result < 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
        }
        if (high)
            *high = static_cast<LONG>(static_cast<uint64_t>(result) >> 32);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(result);
    }

  private:
    const int fd;
};

std::shared_ptr<FileObject> OpenRegularFile(const WCHAR *name, DWORD access, DWORD creation) {
    std::string path;
    if (!HostPathOf(name, path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    int flags = O_CLOEXEC;
    bool read = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    bool write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    switch (creation) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        flags |= O_TRUNC;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) {
        SetLastError(errno == EEXIST   ? ERROR_ALREADY_EXISTS
                     : errno == EACCES ? ERROR_ACCESS_DENIED
                     : errno == ENOENT ? ERROR_FILE_NOT_FOUND
                                       : ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return std::make_shared<RegularFile>(fd);
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
    auto f = Lookup<FileObject>(handle);
    if (!f)
        SetLastError(ERROR_INVALID_HANDLE);
    return f;
}

} // namespace
} // namespace kx

using namespace kx;

extern "C" HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                              DWORD creation, DWORD, HANDLE) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<FileObject> file;
    if (IsStreamDeviceName(name)) {
        if (creation != OPEN_EXISTING && creation != OPEN_ALWAYS) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        KX_SCHEDULING_POINT("CreateFileW", name);
        file = OpenStreamDevice(name);
    } else {
        file = OpenRegularFile(name, access, creation);
    }
    if (!file)
        return INVALID_HANDLE_VALUE;
    SetLastError(ERROR_SUCCESS);
    return AddHandle(std::move(file));
}

extern "C" BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read,
                         LPOVERLAPPED overlapped) {
    KX_SCHEDULING_POINT("ReadFile", handle);
    if (read)
        *read = 0;
    auto f = LookupFile(handle);
    if (!f)
        return FALSE;
    if (overlapped || (!buffer && toRead)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return f->Read(buffer, toRead, read);
}

extern "C" BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                          LPOVERLAPPED overlapped) {
    KX_SCHEDULING_POINT("WriteFile", handle);
    if (written)
        *written = 0;
    auto f = LookupFile(handle);
    if (!f)
        return FALSE;
    if (overlapped || (!buffer && toWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return f->Write(buffer, toWrite, written);
}

extern "C" BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    KX_SCHEDULING_POINT("GetCommTimeouts", handle);
    auto f = LookupFile(handle);
    return f ? f->GetTimeouts(timeouts) : FALSE;
}

extern "C" BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    KX_SCHEDULING_POINT("SetCommTimeouts", handle);
    auto f = LookupFile(handle);
    return f ? f->SetTimeouts(timeouts) : FALSE;
}

extern "C" BOOL PurgeComm(HANDLE handle, DWORD flags) {
    KX_SCHEDULING_POINT("PurgeComm", handle);
    auto f = LookupFile(handle);
    return f ? f->Purge(flags) : FALSE;
}

extern "C" DWORD GetFileSize(HANDLE handle, LPDWORD high) {
    auto f = LookupFile(handle);
    return f ? f->Size(high) : INVALID_FILE_SIZE;
}

extern "C" DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG high, DWORD method) {
    auto f = LookupFile(handle);
    return f ? f->Seek(distance, high, method) : INVALID_SET_FILE_POINTER;
}

extern "C" BOOL DeleteFileW(LPCWSTR name) {
    std::string path;
    if (!HostPathOf(name, path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (unlink(path.c_str()) != 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD GetFileAttributesW(LPCWSTR name) {
    std::string path;
    struct stat st;
    if (!HostPathOf(name, path) || stat(path.c_str(), &st) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(st.st_mode) ? 0x10u : FILE_ATTRIBUTE_NORMAL;
}
