// The frame trace: every QMI frame in hex with its decoded service, message
// and TLVs, AT traffic as escaped text, data packets in short, and events.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "qmux.h"

namespace kxmodem {

class Trace {
  public:
    ~Trace() { Close(); }
    // "-" = standard error; otherwise the file is appended to.
    bool Open(const std::string &path, std::string *error);
    void Close();
    bool enabled() const { return out_ != nullptr; }
    // Secret values (passwords) are masked in the trace unless this is set.
    void ShowSecrets(bool show) { showSecrets_ = show; }

    // `rx` true for what the module received.
    void Qmi(const std::string &where, bool rx, const uint8_t *data, size_t size,
             const std::string &note = "");
    void At(const std::string &where, bool rx, const std::string &text);
    void Data(const std::string &where, bool rx, size_t size, const std::string &note);
    void Event(const std::string &text);

    // The decoded frame: its header ("WDS resp cid=1 tid=3 msg=0x0020
    // StartNetworkInterface"), then one line per TLV with its name, its value
    // read by the QMI table and its bytes.
    static std::string Decode(const uint8_t *data, size_t size, bool showSecrets = false);
    // Overwrites the values of secret TLVs in a whole frame with '*' (same
    // length, so the frame stays readable).
    static void MaskSecrets(uint8_t *frame, size_t size);
    static std::string Hex(const uint8_t *data, size_t size);
    static std::string Escape(const std::string &text);

  private:
    void Line(const std::string &text);

    std::mutex mutex_; // guards out_ (lines from the loop and from Start/Stop)
    FILE *out_ = nullptr;
    bool ownsFile_ = false;
    bool showSecrets_ = false; // set before the loop starts
};

} // namespace kxmodem
