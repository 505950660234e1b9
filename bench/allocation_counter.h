// Counts heap allocations in this process by interposing malloc and the
// global operator new. Allocations whose immediate caller lies in
// KxCmdApi.so are also counted apart, as the driver's own.
#pragma once

#include <cstdint>
#include <string>

namespace kxbench {

struct AllocationCount {
    uint64_t all = 0;    // every allocation in the process (driver and platform)
    uint64_t driver = 0; // those called from KxCmdApi.so's code
};

// Locates KxCmdApi.so's code once it is loaded.
void FindDriverCode();
// True when the counter sees an allocation (checked once at start).
bool AllocationCounterWorks();
void StartCounting();
AllocationCount StopCounting();
// Up to four distinct callers seen since StartCounting, "symbol in file+offset".
std::string AllocatingCallers();

} // namespace kxbench
