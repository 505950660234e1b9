#include "file_copy.h"

#include <fstream>

namespace kxsim {

bool CopyFile(const std::string &from, const std::string &to) {
    std::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    return static_cast<bool>(out);
}

} // namespace kxsim
