// Fault injection on QMI replies. A rule matches requests by service and
// message id and applies to the next `count` of them (or always):
//   delay MS      reply held MS ms; later replies of the connection queue behind it
//   late MS       reply held MS ms; later replies overtake it
//   drop          request handled, reply lost
//   duplicate     reply sent twice
//   malformed [truncate|flags|interface]   reply corrupted
//   reject CODE   request not handled; reply carries QMI error CODE
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxmodem {

enum class FaultKind { kNone, kDelay, kLate, kDrop, kDuplicate, kMalformed, kReject };
enum class MalformKind { kTruncate, kFlags, kInterface };

struct FaultAction {
    FaultKind kind = FaultKind::kNone;
    uint32_t ms = 0;
    uint16_t error = 0;
    MalformKind malform = MalformKind::kTruncate;
};

struct FaultRule {
    FaultAction action;
    int service = -1;  // -1 = any
    int message = -1;  // -1 = any
    int remaining = 1; // -1 = always
};

class FaultTable {
  public:
    void Add(const FaultRule &rule) { rules_.push_back(rule); }
    void Clear() { rules_.clear(); }
    size_t size() const { return rules_.size(); }
    // The first rule that matches, consuming one of its uses.
    FaultAction Match(uint8_t service, uint16_t message);
    std::string Describe() const;

    // Parses "KIND [ARG] [service=S] [msg=M] [count=N|always]" (the words
    // after "fault"). S is a service name of the QMI table (ctl, wds, dms,
    // nas), any or a number; M a number or any.
    static bool Parse(const std::vector<std::string> &words, FaultRule *rule, std::string *error);

  private:
    std::vector<FaultRule> rules_;
};

const char *FaultKindName(FaultKind kind);

} // namespace kxmodem
