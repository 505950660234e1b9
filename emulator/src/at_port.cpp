// The AT port (KXA1, any number of sessions): command text to the AT
// interpreter and its answers back, and the unsolicited registration codes
// every session that asked for them hears.
#include "modem_impl.h"

#include <algorithm>

namespace kxmodem {

void Modem::Impl::HandleAt(Connection &c, const std::string &text) {
    trace.At(c.where, true, text);
    size_t before = std::count(text.begin(), text.end(), '\r');
    counters.atCommands += before;
    int endpoint = c.endpoint;
    std::string out = c.at.Feed(text, *this);
    // The command may have changed the radio, which sent unsolicited codes.
    if (!out.empty() && Find(endpoint)) {
        SendBytes(endpoint, reinterpret_cast<const uint8_t *>(out.data()), out.size());
        trace.At(c.where, false, out);
    }
}

void Modem::Impl::RegistrationChanged() {
    for (auto &entry : connections) {
        Connection &c = entry.second;
        if (c.port != kPortAt)
            continue;
        std::string code = c.at.RegistrationCode(engine.config());
        if (code.empty())
            continue;
        SendBytes(c.endpoint, reinterpret_cast<const uint8_t *>(code.data()), code.size());
        trace.At(c.where, false, code);
    }
}

} // namespace kxmodem
