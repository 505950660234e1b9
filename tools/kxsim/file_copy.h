// A file copied whole, as the host programs make their working copies of
// the shipped registry defaults.
#pragma once

#include <string>

namespace kxsim {

// Copies `from` to `to` (created or replaced). False when `from` cannot be
// read or `to` cannot be written in full.
bool CopyFile(const std::string &from, const std::string &to);

} // namespace kxsim
