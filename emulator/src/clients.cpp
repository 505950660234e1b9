#include "clients.h"

namespace kxmodem {

uint8_t ClientIdAllocator::Allocate(uint8_t service) {
    PerService &s = services_[service];
    if (s.used.size() >= capacity_)
        return 0;
    for (int tries = 0; tries < 254; ++tries) {
        uint8_t id = s.next;
        s.next = static_cast<uint8_t>(id >= 254 ? 1 : id + 1);
        if (!s.used.count(id)) {
            s.used.insert(id);
            return id;
        }
    }
    return 0;
}

bool ClientIdAllocator::Release(uint8_t service, uint8_t clientId) {
    auto it = services_.find(service);
    return it != services_.end() && it->second.used.erase(clientId) == 1;
}

bool ClientIdAllocator::IsAllocated(uint8_t service, uint8_t clientId) const {
    auto it = services_.find(service);
    return it != services_.end() && it->second.used.count(clientId) != 0;
}

std::vector<uint8_t> ClientIdAllocator::Allocated(uint8_t service) const {
    auto it = services_.find(service);
    if (it == services_.end())
        return {};
    return std::vector<uint8_t>(it->second.used.begin(), it->second.used.end());
}

void ClientIdAllocator::ReleaseAll() {
    for (auto &s : services_)
        s.second.used.clear();
}

} // namespace kxmodem
