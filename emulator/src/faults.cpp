#include "faults.h"

#include <strings.h>

#include <cstdlib>

#include "qmux.h"

namespace kxmodem {

const char *FaultKindName(FaultKind kind) {
    switch (kind) {
    case FaultKind::kNone:
        return "none";
    case FaultKind::kDelay:
        return "delay";
    case FaultKind::kLate:
        return "late";
    case FaultKind::kDrop:
        return "drop";
    case FaultKind::kDuplicate:
        return "duplicate";
    case FaultKind::kMalformed:
        return "malformed";
    case FaultKind::kReject:
        return "reject";
    }
    return "?";
}

FaultAction FaultTable::Match(uint8_t service, uint16_t message) {
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->service >= 0 && it->service != service)
            continue;
        if (it->message >= 0 && it->message != message)
            continue;
        FaultAction action = it->action;
        if (it->remaining > 0 && --it->remaining == 0)
            rules_.erase(it);
        return action;
    }
    return {};
}

std::string FaultTable::Describe() const {
    std::string out;
    for (const auto &r : rules_) {
        if (!out.empty())
            out += "; ";
        out += FaultKindName(r.action.kind);
        if (r.action.kind == FaultKind::kDelay || r.action.kind == FaultKind::kLate)
            out += " " + std::to_string(r.action.ms);
        if (r.action.kind == FaultKind::kReject)
            out += " " + std::to_string(r.action.error);
        out += " service=" + (r.service < 0 ? std::string("any") : std::to_string(r.service));
        out += " msg=" + (r.message < 0 ? std::string("any") : std::to_string(r.message));
        out += " count=" + (r.remaining < 0 ? std::string("always") : std::to_string(r.remaining));
    }
    return out.empty() ? "none" : out;
}

static bool ParseNumber(const std::string &s, long max, long *out) {
    if (s.empty())
        return false;
    char *end = nullptr;
    long v = strtol(s.c_str(), &end, 0);
    if (*end || v < 0 || v > max)
        return false;
    *out = v;
    return true;
}

// malformed's optional first word: which way the reply is spoiled.
static bool ParseMalform(const std::string &word, MalformKind *out) {
    if (word == "truncate")
        *out = MalformKind::kTruncate;
    else if (word == "flags")
        *out = MalformKind::kFlags;
    else if (word == "interface")
        *out = MalformKind::kInterface;
    else
        return false;
    return true;
}

// The fault kind and its own arguments; `*next` is left at the first
// key=value option.
static bool ParseAction(const std::vector<std::string> &words, size_t *next, FaultAction *action,
                        std::string *error) {
    size_t i = 1;
    const std::string &kind = words[0];
    long n = 0;
    if (kind == "delay" || kind == "late") {
        action->kind = kind == "delay" ? FaultKind::kDelay : FaultKind::kLate;
        if (i >= words.size() || !ParseNumber(words[i], 3600000, &n)) {
            *error = kind + " needs milliseconds";
            return false;
        }
        action->ms = static_cast<uint32_t>(n);
        ++i;
    } else if (kind == "drop") {
        action->kind = FaultKind::kDrop;
    } else if (kind == "duplicate") {
        action->kind = FaultKind::kDuplicate;
    } else if (kind == "malformed") {
        action->kind = FaultKind::kMalformed;
        if (i < words.size() && words[i].find('=') == std::string::npos) {
            if (!ParseMalform(words[i], &action->malform)) {
                *error = "malformed takes truncate, flags or interface";
                return false;
            }
            ++i;
        }
    } else if (kind == "reject") {
        action->kind = FaultKind::kReject;
        if (i >= words.size() || !ParseNumber(words[i], 0xFFFF, &n) || n == 0) {
            *error = "reject needs a nonzero QMI error code";
            return false;
        }
        action->error = static_cast<uint16_t>(n);
        ++i;
    } else {
        *error = "unknown fault '" + kind + "'";
        return false;
    }
    *next = i;
    return true;
}

// service=: "any", a service name in any case, or a number up to 255.
static bool ParseService(const std::string &value, int *service) {
    const qmi::ServiceRow *named = nullptr;
    for (const auto &row : qmi::Services()) {
        if (strcasecmp(value.c_str(), row.name) == 0)
            named = &row;
    }
    long n = 0;
    if (value == "any")
        *service = -1;
    else if (named)
        *service = named->id;
    else if (ParseNumber(value, 255, &n))
        *service = static_cast<int>(n);
    else
        return false;
    return true;
}

// One key=value option: which requests the rule matches, how many times.
static bool ParseOption(const std::string &w, FaultRule *r, std::string *error) {
    size_t eq = w.find('=');
    if (eq == std::string::npos) {
        *error = "unexpected '" + w + "'";
        return false;
    }
    std::string key = w.substr(0, eq), value = w.substr(eq + 1);
    long n = 0;
    if (key == "service") {
        if (!ParseService(value, &r->service)) {
            *error = "bad service '" + value + "'";
            return false;
        }
    } else if (key == "msg") {
        if (value == "any")
            r->message = -1;
        else if (ParseNumber(value, 0xFFFF, &n))
            r->message = static_cast<int>(n);
        else {
            *error = "bad msg '" + value + "'";
            return false;
        }
    } else if (key == "count") {
        if (value == "always")
            r->remaining = -1;
        else if (ParseNumber(value, 1000000, &n) && n > 0)
            r->remaining = static_cast<int>(n);
        else {
            *error = "bad count '" + value + "'";
            return false;
        }
    } else {
        *error = "unknown option '" + key + "'";
        return false;
    }
    return true;
}

bool FaultTable::Parse(const std::vector<std::string> &words, FaultRule *rule, std::string *error) {
    if (words.empty()) {
        *error = "fault kind missing";
        return false;
    }
    FaultRule r;
    size_t i = 1;
    if (!ParseAction(words, &i, &r.action, error))
        return false;
    for (; i < words.size(); ++i) {
        if (!ParseOption(words[i], &r, error))
            return false;
    }
    *rule = r;
    return true;
}

} // namespace kxmodem
