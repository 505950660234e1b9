# Toolchain for the Wine lane's test programs: mingw-w64 for x86-64 in its
# posix-threads flavour (Debian's g++-mingw-w64-x86-64-posix), whose C++
# runtime has std::thread and std::mutex, which GoogleTest and the tests use.
# The programs link their runtime statically, so they need no DLL of it.
#   cmake -S windows/wine -B build-wine -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-posix.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KX_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(KX_MINGW_CXX NAMES ${KX_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(KX_MINGW_CC NAMES ${KX_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(KX_MINGW_WINDRES NAMES ${KX_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_C_COMPILER ${KX_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KX_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KX_MINGW_WINDRES})

set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
