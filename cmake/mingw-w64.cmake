# Toolchain for the Windows build of the deliverables: mingw-w64 for x86-64
# (Debian's g++-mingw-w64-x86-64-win32: win32 threads, so a DLL built with a
# static C++ runtime imports no pthread library). Use with the separate
# project in windows/:
#   cmake -S windows -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KX_MINGW_TRIPLE x86_64-w64-mingw32)

# Prefer the win32-threads flavour by its explicit name; the plain name is an
# alternatives link that may point at the posix flavour when both are present.
find_program(KX_MINGW_CXX NAMES ${KX_MINGW_TRIPLE}-g++-win32 ${KX_MINGW_TRIPLE}-g++ REQUIRED)
find_program(KX_MINGW_CC NAMES ${KX_MINGW_TRIPLE}-gcc-win32 ${KX_MINGW_TRIPLE}-gcc REQUIRED)
find_program(KX_MINGW_WINDRES NAMES ${KX_MINGW_TRIPLE}-windres REQUIRED)
find_program(KX_MINGW_OBJDUMP NAMES ${KX_MINGW_TRIPLE}-objdump REQUIRED)
find_program(KX_MINGW_NM NAMES ${KX_MINGW_TRIPLE}-nm REQUIRED)

set(CMAKE_C_COMPILER ${KX_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KX_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KX_MINGW_WINDRES})

set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
