// Client ids per QMI service, as the module hands them out: ids 1 to 254,
// given in rotation (a released id is not handed out again at once, so a
// stale id from an old session is unlikely to name a new client), at most
// `capacity` at a time per service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace kxmodem {

class ClientIdAllocator {
  public:
    explicit ClientIdAllocator(size_t capacity = 32) : capacity_(capacity) {}
    // 0 when the service's ids are exhausted.
    uint8_t Allocate(uint8_t service);
    bool Release(uint8_t service, uint8_t clientId);
    bool IsAllocated(uint8_t service, uint8_t clientId) const;
    std::vector<uint8_t> Allocated(uint8_t service) const;
    void ReleaseAll();

  private:
    struct PerService {
        std::set<uint8_t> used;
        uint8_t next = 1;
    };
    size_t capacity_;
    std::map<uint8_t, PerService> services_;
};

} // namespace kxmodem
