#include "at.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace kxmodem {

namespace {

std::string Upper(const std::string &s) {
    std::string out = s;
    for (char &c : out)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

bool Registered(int stat) {
    return stat == kRegHome || stat == kRegRoaming;
}

// The serving cell as +CREG mode 2 reports it: ,"LAC","CI" in hexadecimal.
std::string CellIdentity() {
    char text[32];
    snprintf(text, sizeof text, ",\"%04X\",\"%08X\"", kCellLac, static_cast<unsigned>(kCellId));
    return text;
}

void AddInfo(std::string *info, const std::string &line) {
    if (!info->empty())
        *info += "\r\n";
    *info += line;
}

bool StartsWith(const std::string &s, const char *prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// Commands that answer with one identity line of the module.
struct IdentityCommand {
    const char *command;
    IdentLine identity;
};
const IdentityCommand kIdentityCommands[] = {
    {"I", kIdentModel},     {"I0", kIdentModel},       {"+CGMI", kIdentManufacturer},
    {"+CGMM", kIdentModel}, {"+CGMR", kIdentRevision}, {"+CGSN", kIdentImei},
};

bool Identity(const std::string &c, const ModemConfig &cfg, std::string *info) {
    for (const auto &entry : kIdentityCommands) {
        if (c == entry.command) {
            AddInfo(info, cfg.Identity(entry.identity));
            return true;
        }
    }
    if (c == "I1") {
        for (const auto &l : cfg.ident)
            AddInfo(info, l);
        return true;
    }
    return false;
}

// +CFUN: the radio on (1) or off (0, 4); the reset argument changes nothing here.
bool Cfun(const std::string &c, AtHost &host, std::string *info) {
    if (c == "+CFUN?") {
        AddInfo(info, std::string("+CFUN: ") + (host.Config().radioOn ? "1" : "0"));
        return true;
    }
    if (c == "+CFUN=?") {
        AddInfo(info, "+CFUN: (0,1,4)");
        return true;
    }
    if (!StartsWith(c, "+CFUN="))
        return false;
    std::string f = c.substr(6);
    if (f.size() > 2 &&
        (f.compare(f.size() - 2, 2, ",0") == 0 || f.compare(f.size() - 2, 2, ",1") == 0))
        f = f.substr(0, f.size() - 2);
    if (f == "1")
        host.SetRadio(true);
    else if (f == "0" || f == "4")
        host.SetRadio(false);
    else
        return false;
    return true;
}

// +CSQ: the signal as RSSI 0..31, 99 with the radio off; the bit error rate unknown.
void Csq(const ModemConfig &cfg, std::string *info) {
    int rssi = 99;
    if (cfg.radioOn) {
        rssi = (cfg.signalDbm + 113) / 2;
        rssi = rssi < 0 ? 0 : rssi > 31 ? 31 : rssi;
    }
    AddInfo(info, "+CSQ: " + std::to_string(rssi) + ",99");
}

} // namespace

std::string AtSession::Feed(const std::string &input, AtHost &host) {
    std::string out;
    for (char c : input) {
        if (echo_)
            out += c;
        if (c == '\r') {
            std::string line = line_;
            line_.clear();
            out += Execute(line, host);
        } else if (c == '\n') {
            // LF after CR is tolerated and ignored.
        } else if (c == '\b') {
            if (!line_.empty())
                line_.pop_back();
        } else if (line_.size() < 1024) {
            line_ += c;
        }
    }
    return out;
}

std::string AtSession::RegistrationCode(const ModemConfig &config) const {
    int stat = config.EffectiveRegistration();
    if (cregMode_ == 1)
        return "\r\n+CREG: " + std::to_string(stat) + "\r\n";
    if (cregMode_ == 2) {
        std::string code = "\r\n+CREG: " + std::to_string(stat);
        if (Registered(stat))
            code += CellIdentity();
        return code + "\r\n";
    }
    return "";
}

std::string AtSession::Execute(const std::string &rawLine, AtHost &host) {
    std::string line = rawLine;
    while (!line.empty() && isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    size_t start = 0;
    while (start < line.size() && isspace(static_cast<unsigned char>(line[start])))
        ++start;
    line = line.substr(start);
    if (line.empty())
        return "";
    std::string upper = Upper(line);
    if (upper.compare(0, 2, "AT") != 0)
        return "\r\nERROR\r\n";
    std::string body = upper.substr(2);
    std::string info;
    bool ok = true;
    // Basic commands follow each other directly; extended ones are separated by ';'.
    size_t i = 0;
    while (ok && i < body.size()) {
        if (body[i] == ';') {
            ++i;
            continue;
        }
        size_t end;
        if (body[i] == '+') {
            end = body.find(';', i);
            if (end == std::string::npos)
                end = body.size();
        } else {
            end = i + 1;
            while (end < body.size() && isdigit(static_cast<unsigned char>(body[end])))
                ++end;
        }
        ok = Command(body.substr(i, end - i), host, &info);
        i = end;
    }
    if (!ok)
        return "\r\nERROR\r\n";
    std::string out;
    if (!info.empty())
        out = "\r\n" + info + "\r\n";
    return out + "\r\nOK\r\n";
}

bool AtSession::Command(const std::string &c, AtHost &host, std::string *info) {
    const ModemConfig &cfg = host.Config();
    if (c == "E" || c == "E0" || c == "E1") {
        echo_ = c == "E1";
        return true;
    }
    if (c == "V1" || c == "Q0" || c == "Z" || c == "Z0")
        return true;
    if (StartsWith(c, "+CREG"))
        return Creg(c, cfg, info);
    if (StartsWith(c, "+COPS"))
        return Cops(c, cfg, info);
    if (StartsWith(c, "+CFUN"))
        return Cfun(c, host, info);
    if (c == "+CSQ") {
        Csq(cfg, info);
        return true;
    }
    return Identity(c, cfg, info);
}

// +CREG: the registration, with the serving cell in mode 2; the mode also
// decides the unsolicited codes (RegistrationCode).
bool AtSession::Creg(const std::string &c, const ModemConfig &cfg, std::string *info) {
    int stat = cfg.EffectiveRegistration();
    if (c == "+CREG?") {
        std::string s = "+CREG: " + std::to_string(cregMode_) + "," + std::to_string(stat);
        if (cregMode_ == 2 && Registered(stat))
            s += CellIdentity();
        AddInfo(info, s);
        return true;
    }
    if (c == "+CREG=?") {
        AddInfo(info, "+CREG: (0-2)");
        return true;
    }
    if (!StartsWith(c, "+CREG="))
        return false;
    std::string n = c.substr(6);
    if (n != "0" && n != "1" && n != "2")
        return false;
    cregMode_ = n[0] - '0';
    return true;
}

// +COPS: always automatic selection; the operator name in the format last
// chosen with +COPS=3,<format> (long, short, numeric).
bool AtSession::Cops(const std::string &c, const ModemConfig &cfg, std::string *info) {
    if (c == "+COPS?") {
        if (!Registered(cfg.EffectiveRegistration())) {
            AddInfo(info, "+COPS: 0");
            return true;
        }
        const std::string &name = copsFormat_ == 0   ? cfg.operatorLong
                                  : copsFormat_ == 1 ? cfg.operatorShort
                                                     : cfg.operatorNumeric;
        AddInfo(info, "+COPS: 0," + std::to_string(copsFormat_) + ",\"" + name + "\",2");
        return true;
    }
    if (c == "+COPS=0")
        return true;
    if (!StartsWith(c, "+COPS=3,"))
        return false;
    std::string f = c.substr(8);
    if (f != "0" && f != "1" && f != "2")
        return false;
    copsFormat_ = f[0] - '0';
    return true;
}

} // namespace kxmodem
