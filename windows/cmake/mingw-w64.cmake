# CMake resolves a relative CMAKE_TOOLCHAIN_FILE against the build and the
# source folder; with -S windows, "cmake/mingw-w64.cmake" lands here.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/mingw-w64.cmake)
