// The module's AT command port as the RIL sees it under Wine: a COM port
// (the lane links it to kxmodem's AT pseudo-terminal), opened once per
// process and shared by every RIL instance, since a COM port has one owner.
//
// Lock: the port lock guards the handle and its user count, and is held for
// the whole of one exchange, so that two instances' commands never mix on
// the line. It is a leaf: nothing else is locked while it is held, and no
// callback runs under it.
#pragma once

#include <windows.h>

#include <string>

namespace atport {

// The COM port of RIL port index `index`: the registry's
// HKLM\Drivers\BuiltIn\RIL value ComPort (for example "COM9"), else COM<index>.
std::wstring PortName(DWORD index);

// Opens the port for its first user (and turns the module's echo off); a
// later user shares it, whatever index it names. Every successful Acquire
// needs one Release. False when the port cannot be
// opened or the module does not answer.
bool Acquire(DWORD index);
void Release();

enum class Outcome { Ok, Error, NoAnswer };

// Sends one command line and reads the module's answer up to its final
// result (OK, ERROR, +CME ERROR) or until limitMs passed. *reply receives
// every line of the answer after the command's echo, each followed by CR LF,
// the final result included; unsolicited +CREG codes are left out.
Outcome Exchange(const std::string &command, std::string *reply, DWORD limitMs);

} // namespace atport
