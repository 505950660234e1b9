// The AT command interpreter of one AT session (the AT port serves many
// sessions at once; each has its own echo, +CREG and +COPS settings).
// Results are verbose (V1): information text "\r\n<line>\r\n..." then
// "\r\nOK\r\n" or "\r\nERROR\r\n".
#pragma once

#include <string>

#include "model.h"

namespace kxmodem {

class AtHost {
  public:
    virtual ~AtHost() = default;
    virtual const ModemConfig &Config() const = 0;
    virtual void SetRadio(bool on) = 0;
};

class AtSession {
  public:
    // Bytes received from the host; returns the bytes to send back (echo
    // and the results of every command line completed by CR).
    std::string Feed(const std::string &input, AtHost &host);
    // The unsolicited code for the registration now in `config`, "" when this
    // session did not ask for them.
    std::string RegistrationCode(const ModemConfig &config) const;

    bool echo() const { return echo_; }
    int cregMode() const { return cregMode_; }

  private:
    std::string Execute(const std::string &line, AtHost &host);
    // One command of a line; false = ERROR.
    bool Command(const std::string &command, AtHost &host, std::string *info);
    bool Creg(const std::string &command, const ModemConfig &config, std::string *info);
    bool Cops(const std::string &command, const ModemConfig &config, std::string *info);

    bool echo_ = true;
    int cregMode_ = 0;
    int copsFormat_ = 0;
    std::string line_;
};

} // namespace kxmodem
