# The fuzz build (-DKX_FUZZ=ON with CC=clang CXX=clang++): the platform, the
# simulated module and every fuzz target, all compiled with libFuzzer's
# coverage instrumentation and the address and undefined-behaviour
# sanitizers. Included from the top CMakeLists.txt in place of the tests.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KX_FUZZ needs clang: configure with CC=clang CXX=clang++")
endif()
if(NOT KX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KX_FUZZ brings its own sanitizers: leave KX_SANITIZE empty")
endif()

add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                    -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
# The code under test is kept warning-free by the GCC build; clang's own
# warnings must not stop the fuzzers from building.
add_compile_options(-Wno-error)

add_subdirectory(${CMAKE_SOURCE_DIR}/platform ${CMAKE_BINARY_DIR}/platform)
add_subdirectory(${CMAKE_SOURCE_DIR}/emulator ${CMAKE_BINARY_DIR}/emulator)
# The module's operator network side (TUN) links kxnet.
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/kxnet ${CMAKE_BINARY_DIR}/tools/kxnet)
# The QMI table the module answers and traces by.
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/kxqmi ${CMAKE_BINARY_DIR}/tools/kxqmi)
add_subdirectory(${CMAKE_SOURCE_DIR}/fuzz ${CMAKE_BINARY_DIR}/fuzz)
