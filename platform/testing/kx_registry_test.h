// Test hook of the host registry (implemented in coredll's registry).
#pragma once

#include <windows.h>

namespace kxtest {

// Forgets the in-memory registry and every open registry handle; the next
// registry call starts afresh and loads KX_REGISTRY (read again) if set.
void ReloadRegistry();

// The registry file's state (KX_REGISTRY), with the Win32 registry calls'
// error codes; the file is loaded first if it was not yet. ERROR_SUCCESS
// when there is no file, or it loaded and holds every change so far (a
// read-only file, which is never written, counts as holding them: the
// registry said once that it does not save them). Otherwise:
//   ERROR_CANTREAD   the file exists but cannot be read, or is not a regular
//                    file: refused, never written;
//   ERROR_BADDB      the file is not a registry file the reader understands:
//                    refused, never written;
//   ERROR_CANTWRITE  the last save failed (changes are in memory only).
// The registry has written one message about it to standard error. A host
// program that changes the registry ends with a failure status when this is
// not ERROR_SUCCESS.
LONG RegistryFileStatus();

} // namespace kxtest
