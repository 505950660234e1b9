#include "trace.h"

#include <sys/time.h>
#include <algorithm>
#include <cstring>
#include <ctime>

#include "kxqmi/qmi_value.h"

namespace kxmodem {

bool Trace::Open(const std::string &path, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path == "-") {
        out_ = stderr;
        ownsFile_ = false;
        return true;
    }
    out_ = fopen(path.c_str(), "a");
    if (!out_) {
        *error = "cannot open trace file " + path;
        return false;
    }
    ownsFile_ = true;
    return true;
}

void Trace::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_ && ownsFile_)
        fclose(out_);
    out_ = nullptr;
}

void Trace::Line(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!out_)
        return;
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    localtime_r(&tv.tv_sec, &t);
    fprintf(out_, "%02d:%02d:%02d.%03ld %s\n", t.tm_hour, t.tm_min, t.tm_sec,
            static_cast<long>(tv.tv_usec / 1000), text.c_str());
    fflush(out_);
}

std::string Trace::Hex(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i)
            s += ' ';
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

std::string Trace::Escape(const std::string &text) {
    std::string s;
    for (unsigned char c : text) {
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (c == '"' || c == '\\')
            s += std::string("\\") + static_cast<char>(c);
        else if (c < 32 || c > 126) {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            s += b;
        } else
            s += static_cast<char>(c);
    }
    return s;
}

namespace {

// The direction bit of the table's rows for a frame's message flags.
uint8_t DirectionOf(const QmiMessage &m) {
    if (m.service == qmi::kCtl)
        return m.flags == qmi::kRequest         ? qmi::kDirRequest
               : m.flags == qmi::kCtlResponse   ? qmi::kDirResponse
               : m.flags == qmi::kCtlIndication ? qmi::kDirIndication
                                                : 0;
    return m.flags == qmi::kRequest      ? qmi::kDirRequest
           : m.flags == qmi::kResponse   ? qmi::kDirResponse
           : m.flags == qmi::kIndication ? qmi::kDirIndication
                                         : 0;
}

} // namespace

// The TLVs are walked here rather than parsed: a frame whose lengths do not
// agree (a broken host, a malformed fault) must not show its password either.
void Trace::MaskSecrets(uint8_t *frame, size_t size) {
    if (size < kCtlHeaderEnd)
        return;
    QmiMessage m;
    m.service = frame[4];
    m.flags = frame[6];
    size_t at = m.service == qmi::kCtl ? kCtlHeaderEnd : kSvcHeaderEnd;
    if (size < at)
        return;
    m.messageId = GetU16(frame + at - 4);
    uint8_t direction = DirectionOf(m);
    while (at + 3 <= size) {
        size_t length = GetU16(frame + at + 1);
        size_t present = std::min(length, size - at - 3);
        const qmi::TlvRow *row = qmi::FindTlv(m.service, m.messageId, direction, frame[at]);
        if (row && qmi::LayoutHasSecret(row->layout))
            memset(frame + at + 3, '*', present);
        at += 3 + length;
    }
}

std::string Trace::Decode(const uint8_t *data, size_t size, bool showSecrets) {
    QmiMessage m;
    ParseStatus status = ParseFrame(data, size, &m);
    if (status != ParseStatus::kOk && status != ParseStatus::kBadTlvs)
        return std::string("undecodable: ") + ParseStatusName(status);
    uint8_t direction = DirectionOf(m);
    const char *kind = direction == qmi::kDirRequest      ? "req"
                       : direction == qmi::kDirResponse   ? "resp"
                       : direction == qmi::kDirIndication ? "ind"
                                                          : "flags?";
    char head[160];
    snprintf(head, sizeof head, "%s %s cid=%u tid=%u msg=0x%04x %s", qmi::ServiceName(m.service),
             kind, m.clientId, m.transactionId, m.messageId,
             qmi::MessageName(m.service, m.messageId));
    std::string s = head;
    for (const auto &t : m.tlvs) {
        char tb[32];
        snprintf(tb, sizeof tb, "\n      [0x%02x", t.type);
        s += tb;
        const qmi::TlvRow *row = qmi::FindTlv(m.service, m.messageId, direction, t.type);
        if (!row) {
            s += " unknown: " + Hex(t.value.data(), t.value.size()) + "]";
            continue;
        }
        s += std::string(" ") + row->name + ": " +
             qmi::DecodeValue(row->layout, t.value.data(), t.value.size(), showSecrets);
        if (!showSecrets && qmi::LayoutHasSecret(row->layout))
            s += " | (hidden)]";
        else
            s += " | " + Hex(t.value.data(), t.value.size()) + "]";
    }
    if (status == ParseStatus::kBadTlvs)
        s += " (inconsistent TLVs)";
    return s;
}

void Trace::Qmi(const std::string &where, bool rx, const uint8_t *data, size_t size,
                const std::string &note) {
    if (!enabled())
        return;
    Bytes shown(data, data + size);
    if (!showSecrets_)
        MaskSecrets(shown.data(), shown.size());
    std::string text = where + (rx ? " RX " : " TX ") + Hex(shown.data(), size) + "\n    " +
                       Decode(shown.data(), size, showSecrets_);
    if (!note.empty())
        text += " {" + note + "}";
    Line(text);
}

void Trace::At(const std::string &where, bool rx, const std::string &text) {
    if (enabled())
        Line(where + (rx ? " RX \"" : " TX \"") + Escape(text) + "\"");
}

void Trace::Data(const std::string &where, bool rx, size_t size, const std::string &note) {
    if (enabled())
        Line(where + (rx ? " RX " : " TX ") + std::to_string(size) + " bytes " + note);
}

void Trace::Event(const std::string &text) {
    if (enabled())
        Line("-- " + text);
}

} // namespace kxmodem
