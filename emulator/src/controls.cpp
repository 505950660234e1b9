// Control commands: from a script file at start and from the control socket
// (or Modem::Control) at run time. One command per line; '#' starts a comment.
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <fstream>

#include "modem_impl.h"

namespace kxmodem {

const char *Modem::ControlHelp() {
    return "control commands (script lines, or lines on <device-dir>/kxmodem.ctl):\n"
           "  registration home|roaming|searching|denied|none\n"
           "  operator LONG [SHORT [NUMERIC]]      (quote names with spaces)\n"
           "  radio on|off\n"
           "  signal DBM [RADIO_INTERFACE]\n"
           "  rates CUR_TX CUR_RX MAX_TX MAX_RX     (bits per second)\n"
           "  network [apn=TEXT] [user=TEXT] [password=TEXT] [auth=MASK]\n"
           "  ident LINE1 LINE2 LINE3 LINE4          (ATI1 identification lines)\n"
           "  connect-delay MS                       (time a started session takes to come up)\n"
           "  disconnect [CHANNEL|all]               (network ends sessions)\n"
           "  reconfigure                            (status indication asking for "
           "reconfiguration)\n"
           "  fault delay MS|late MS|drop|duplicate|malformed [truncate|flags|interface]|reject "
           "CODE\n"
           "        [service=ctl|wds|dms|nas|N] [msg=ID] [count=N|always]\n"
           "  fault clear | faults\n"
           "  vanish KXC1|KXN1|KXN2|KXA1|all [MS]  (socket removed, connections dropped, the "
           "module keeps its clients and sessions; back after MS)\n"
           "  restore KXC1|KXN1|KXN2|KXA1|all\n"
           "  reset [MS]                             (the module restarts: every port vanishes, "
           "client ids and sessions are forgotten; ports back after MS)\n"
           "  status | counters | help\n"
           "  sleep MS                               (scripts only)\n";
}

std::vector<std::string> SplitWords(const std::string &line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        std::string word;
        bool quoted = false;
        while (i < line.size() && (quoted || !isspace(static_cast<unsigned char>(line[i])))) {
            if (line[i] == '"')
                quoted = !quoted;
            else
                word += line[i];
            ++i;
        }
        words.push_back(word);
    }
    return words;
}

static bool Number(const std::string &s, long min, long max, long *out) {
    if (s.empty())
        return false;
    char *end = nullptr;
    long v = strtol(s.c_str(), &end, 0);
    if (*end || v < min || v > max)
        return false;
    *out = v;
    return true;
}

std::string Modem::Impl::StatusText() {
    const ModemConfig &c = engine.config();
    std::string s = "ok radio=" + std::string(c.radioOn ? "on" : "off") +
                    " registration=" + std::to_string(c.EffectiveRegistration()) + " operator=\"" +
                    c.operatorLong + "\" signal=" + std::to_string(c.signalDbm) +
                    " status=" + std::to_string(engine.OverallStatus());
    for (const auto &session : engine.Sessions()) {
        char b[96];
        snprintf(b, sizeof b, " session{channel=%d handle=0x%08x cid=%u status=%u}",
                 session.channel, session.handle, session.clientId, session.status);
        s += b;
    }
    s += " wds-clients=" + std::to_string(engine.clients().Allocated(qmi::kWds).size());
    s += " dms-clients=" + std::to_string(engine.clients().Allocated(qmi::kDms).size());
    s += " nas-clients=" + std::to_string(engine.clients().Allocated(qmi::kNas).size());
    s += " ports=";
    for (int p = 0; p < kPortCtlSocket; ++p) {
        if (ports[p].present)
            s += std::string(ports[p].name) + ",";
    }
    s += " faults=" + std::to_string(faults.size());
    return s;
}

std::string Modem::Impl::Execute(const std::string &line) {
    std::vector<std::string> w = SplitWords(line);
    if (w.empty())
        return "ok";
    const std::string &cmd = w[0];
    ModemConfig &cfg = engine.config();
    long n = 0;
    trace.Event("control: " + line);
    if (cmd == "help") {
        // One answer line per command: the reference's lines joined.
        std::string help = ControlHelp();
        for (char &c : help) {
            if (c == '\n')
                c = '|';
        }
        return "ok " + help;
    }
    if (cmd == "status")
        return StatusText();
    if (cmd == "counters") {
        const Counters &k = counters;
        return "ok requests=" + std::to_string(k.qmiRequests) +
               " replies=" + std::to_string(k.qmiReplies) +
               " indications=" + std::to_string(k.qmiIndications) +
               " malformed=" + std::to_string(k.qmiMalformed) +
               " ignored=" + std::to_string(k.qmiIgnored) +
               " replies-dropped=" + std::to_string(k.repliesDropped) +
               " indications-lost=" + std::to_string(k.indicationsLost) +
               " data-in=" + std::to_string(k.dataIn) + " data-out=" + std::to_string(k.dataOut) +
               " data-dropped-no-session=" + std::to_string(k.dataDroppedNoSession) +
               " data-dropped-invalid=" + std::to_string(k.dataDroppedInvalid) +
               " data-unanswered=" + std::to_string(k.dataDroppedUnanswered) +
               " at-commands=" + std::to_string(k.atCommands);
    }
    if (cmd == "registration" && w.size() == 2) {
        static const struct {
            const char *name;
            int value;
        } kStates[] = {{"home", kRegHome},
                       {"roaming", kRegRoaming},
                       {"searching", kRegSearching},
                       {"denied", kRegDenied},
                       {"none", kRegNone}};
        for (const auto &s : kStates) {
            if (w[1] == s.name) {
                engine.SetRegistration(s.value);
                return "ok";
            }
        }
        return "error: registration takes home, roaming, searching, denied or none";
    }
    if (cmd == "operator" && w.size() >= 2 && w.size() <= 4) {
        if (w.size() >= 4 && (w[3].size() < 5 || w[3].size() > 6 ||
                              w[3].find_first_not_of("0123456789") != std::string::npos))
            return "error: the numeric operator name is the MCC and MNC, 5 or 6 digits";
        cfg.operatorLong = w[1];
        if (w.size() >= 3)
            cfg.operatorShort = w[2];
        if (w.size() >= 4)
            cfg.operatorNumeric = w[3];
        engine.ServingSystemChanged();
        return "ok";
    }
    if (cmd == "radio" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        engine.SetRadio(w[1] == "on");
        return "ok";
    }
    if (cmd == "signal" && (w.size() == 2 || w.size() == 3)) {
        long iface = cfg.radioInterface;
        if (!Number(w[1], -128, 0, &n) || (w.size() == 3 && !Number(w[2], 0, 255, &iface)))
            return "error: signal takes a dBm value (-128..0) and an optional radio interface";
        cfg.signalDbm = static_cast<int8_t>(n);
        cfg.radioInterface = static_cast<uint8_t>(iface);
        return "ok";
    }
    if (cmd == "rates" && w.size() == 5) {
        uint32_t r[4];
        for (int i = 0; i < 4; ++i) {
            if (!Number(w[1 + i], 0, 0xFFFFFFFFL, &n))
                return "error: rates takes four numbers";
            r[i] = static_cast<uint32_t>(n);
        }
        for (int i = 0; i < 4; ++i)
            cfg.rates[i] = r[i];
        return "ok";
    }
    if (cmd == "network" && w.size() >= 2) {
        NetworkConfig net = cfg.network;
        for (size_t i = 1; i < w.size(); ++i) {
            size_t eq = w[i].find('=');
            std::string key = w[i].substr(0, eq);
            std::string value = eq == std::string::npos ? "" : w[i].substr(eq + 1);
            if (eq == std::string::npos)
                return "error: network takes key=value words";
            if (key == "apn")
                net.apn = value;
            else if (key == "user")
                net.user = value;
            else if (key == "password")
                net.password = value;
            else if (key == "auth" && Number(value, 0, 255, &n))
                net.authMask = static_cast<uint8_t>(n);
            else
                return "error: bad network setting '" + w[i] + "'";
        }
        cfg.network = net;
        return "ok";
    }
    if (cmd == "ident" && w.size() == 5) {
        for (int i = 0; i < 4; ++i)
            cfg.ident[i] = w[1 + i];
        return "ok";
    }
    if (cmd == "connect-delay" && w.size() == 2 && Number(w[1], 0, 3600000, &n)) {
        cfg.connectDelayMs = static_cast<uint32_t>(n);
        return "ok";
    }
    if (cmd == "disconnect" && w.size() <= 2) {
        int channel = -1;
        if (w.size() == 2 && w[1] != "all") {
            if (!Number(w[1], 0, 1, &n))
                return "error: disconnect takes channel 0, 1 or all";
            channel = static_cast<int>(n);
        }
        return "ok " + std::to_string(engine.EndSessions(channel, qmi::kEndNetworkEnd));
    }
    if (cmd == "reconfigure" && w.size() == 1) {
        engine.Reconfigure();
        return "ok";
    }
    if (cmd == "fault") {
        if (w.size() == 2 && w[1] == "clear") {
            faults.Clear();
            return "ok";
        }
        FaultRule rule;
        std::string error;
        if (!FaultTable::Parse(std::vector<std::string>(w.begin() + 1, w.end()), &rule, &error))
            return "error: " + error;
        faults.Add(rule);
        return "ok";
    }
    if (cmd == "faults")
        return "ok " + faults.Describe();
    if (cmd == "vanish" && (w.size() == 2 || w.size() == 3)) {
        if (w.size() == 3 && !Number(w[2], 0, 3600000, &n))
            return "error: vanish takes milliseconds";
        return Vanish(w[1], w.size() == 3 ? n : 0);
    }
    if (cmd == "restore" && w.size() == 2)
        return Restore(w[1]);
    if (cmd == "reset" && w.size() <= 2) {
        if (w.size() == 2 && !Number(w[1], 0, 3600000, &n))
            return "error: reset takes milliseconds";
        return Reset(w.size() == 2 ? n : 0);
    }
    if (cmd == "sleep")
        return "error: sleep is for scripts";
    return "error: unknown or malformed command '" + line + "' (try help)";
}

// Lines up to the first "sleep" are applied before Start returns, so a
// script sets up the module before any host can talk to it; the rest runs on
// a thread of its own, in time.
bool Modem::Impl::RunScript(const std::string &path, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read script " + path;
        return false;
    }
    std::vector<std::pair<int, std::string>> lines;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number)
        lines.emplace_back(number, line);
    size_t i = 0;
    for (; i < lines.size(); ++i) {
        std::vector<std::string> w = SplitWords(lines[i].second);
        if (!w.empty() && w[0] == "sleep")
            break;
        std::string result;
        Call([&] { result = Execute(lines[i].second); });
        if (result.compare(0, 5, "error") == 0) {
            *error = path + ":" + std::to_string(lines[i].first) + ": " + result;
            return false;
        }
    }
    if (i < lines.size()) {
        std::vector<std::pair<int, std::string>> rest(lines.begin() + static_cast<long>(i),
                                                      lines.end());
        scriptThread = std::thread([this, rest] { ScriptThread(rest); });
    }
    return true;
}

void Modem::Impl::ScriptThread(std::vector<std::pair<int, std::string>> lines) {
    for (const auto &entry : lines) {
        std::vector<std::string> w = SplitWords(entry.second);
        if (!w.empty() && w[0] == "sleep") {
            long ms = 0;
            if (w.size() != 2 || !Number(w[1], 0, 86400000, &ms)) {
                trace.Event("script line " + std::to_string(entry.first) + ": bad sleep");
                continue;
            }
            std::unique_lock<std::mutex> lock(scriptMutex_);
            if (scriptCv_.wait_for(lock, std::chrono::milliseconds(ms),
                                   [this] { return scriptStop_; }))
                return;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(scriptMutex_);
            if (scriptStop_)
                return;
        }
        std::string result;
        Call([&] { result = Execute(entry.second); });
        if (result.compare(0, 5, "error") == 0)
            fprintf(stderr, "kxmodem: script line %d: %s\n", entry.first, result.c_str());
    }
}

} // namespace kxmodem
