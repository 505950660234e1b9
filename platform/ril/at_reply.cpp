#include "at_reply.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <strings.h>

namespace kx {
namespace at {

namespace {

const std::string *ReplyLine(const std::vector<std::string> &reply, const char *prefix) {
    for (const auto &l : reply) {
        if (StartsWithNoCase(l, prefix))
            return &l;
    }
    return nullptr;
}

} // namespace

bool StartsWithNoCase(const std::string &s, const char *prefix) {
    size_t n = strlen(prefix);
    return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

bool IsFinalResult(const std::string &line) {
    return line == "OK" || line == "ERROR" || StartsWithNoCase(line, "+CME ERROR") ||
           StartsWithNoCase(line, "+CMS ERROR") || line == "NO CARRIER" || line == "BUSY" ||
           line == "NO ANSWER" || line == "NO DIALTONE";
}

DWORD RegistrationStatus(long stat) {
    switch (stat) {
    case 0:
        return RIL_REGSTAT_UNREGISTERED;
    case 1:
        return RIL_REGSTAT_HOME;
    case 2:
        return RIL_REGSTAT_ATTEMPTING;
    case 3:
        return RIL_REGSTAT_DENIED;
    case 5:
        return RIL_REGSTAT_ROAMING;
    default:
        return RIL_REGSTAT_UNKNOWN;
    }
}

std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> fields;
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return fields;
    std::string current;
    bool quoted = false;
    for (size_t i = colon + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"')
            quoted = !quoted;
        if (c == ',' && !quoted) {
            fields.push_back(current);
            current.clear();
        } else if (!(c == ' ' && current.empty() && !quoted)) {
            current += c;
        }
    }
    fields.push_back(current);
    return fields;
}

bool Unquote(const std::string &field, std::string *out) {
    if (field.size() < 2 || field.front() != '"' || field.back() != '"')
        return false;
    *out = field.substr(1, field.size() - 2);
    return true;
}

bool ParseLong(const std::string &field, long *value) {
    if (field.empty())
        return false;
    char *end = nullptr;
    *value = strtol(field.c_str(), &end, 10);
    return *end == 0;
}

bool OperatorNames(const std::vector<std::string> &reply, DWORD format, RILOPERATORNAMES *names) {
    const std::string *line = ReplyLine(reply, "+COPS:");
    std::vector<std::string> f = line ? Fields(*line) : std::vector<std::string>();
    std::string name;
    if (f.size() < 3 || !Unquote(f[2], &name))
        return false; // no operator selected
    memset(names, 0, sizeof(*names));
    names->cbSize = sizeof(*names);
    char *field = names->szLongName;
    size_t capacity = sizeof(names->szLongName);
    names->dwParams = RIL_PARAM_ON_LONGNAME;
    if (format == RIL_OPFORMAT_SHORT) {
        field = names->szShortName;
        capacity = sizeof(names->szShortName);
        names->dwParams = RIL_PARAM_ON_SHORTNAME;
    } else if (format == RIL_OPFORMAT_NUM) {
        field = names->szNumName;
        capacity = sizeof(names->szNumName);
        names->dwParams = RIL_PARAM_ON_NUMNAME;
    }
    // A name that fills the field is not terminated.
    memcpy(field, name.data(), std::min(capacity, name.size()));
    return true;
}

bool EquipmentState(const std::vector<std::string> &reply, RILEQUIPMENTSTATE *state) {
    const std::string *line = ReplyLine(reply, "+CFUN:");
    std::vector<std::string> f = line ? Fields(*line) : std::vector<std::string>();
    long fun = 0;
    if (f.empty() || !ParseLong(f[0], &fun))
        return false;
    memset(state, 0, sizeof(*state));
    state->cbSize = sizeof(*state);
    state->dwParams = RIL_PARAM_EQUIPMENTSTATE_EQSTATE | RIL_PARAM_EQUIPMENTSTATE_RADIOSUPPORT;
    state->dwEqState = fun == 1   ? RIL_EQSTATE_FULL
                       : fun == 0 ? RIL_EQSTATE_MINIMUM
                       : fun == 4 ? RIL_EQSTATE_RXTXOFF
                                  : RIL_EQSTATE_UNKNOWN;
    state->dwRadioSupport = fun == 1 ? RIL_RADIOSUPPORT_ON : RIL_RADIOSUPPORT_OFF;
    return true;
}

std::string RawText(const std::vector<std::string> &reply) {
    std::string text;
    for (const auto &l : reply)
        text += l + "\r\n";
    return text;
}

} // namespace at
} // namespace kx
