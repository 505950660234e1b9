// Test hook of the host registry (implemented in coredll's registry).
#pragma once

namespace kxtest {

// Forgets the in-memory registry and every open registry handle; the next
// registry call starts afresh and loads KX_REGISTRY (read again) if set.
void ReloadRegistry();

} // namespace kxtest
