# Shared build settings and helpers for the platform libraries, the
# deliverables, tools and tests.

set(KX_WARNINGS -Wall -Wextra -Wshadow -Wno-unused-parameter)
if(KX_WERROR)
    list(APPEND KX_WARNINGS -Werror)
endif()
add_compile_options(${KX_WARNINGS})

if(KX_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(KX_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT KX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KX_SANITIZE must be empty, address or thread")
endif()

# Everything built lands in one folder so that RUNPATH $ORIGIN finds the
# platform libraries beside a deliverable, a tool or a test.
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
set(CMAKE_SKIP_BUILD_RPATH OFF)
set(CMAKE_BUILD_RPATH "$ORIGIN")
set(CMAKE_INSTALL_RPATH "$ORIGIN")
add_link_options(-Wl,--enable-new-dtags)

set(KX_PLATFORM_INCLUDE ${CMAKE_SOURCE_DIR}/platform/include)

# kx_add_platform_library(name SOURCES... [LIBS ...])
# A platform library: shared, named as on the target (libcoredll.so is
# "coredll"), headers in platform/include.
function(kx_add_platform_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} SHARED ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${KX_PLATFORM_INCLUDE}
                                              ${KX_PLATFORM_INCLUDE}/ce)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET default)
endfunction()

# kx_add_deliverable(name DEF file.def SOURCES... LIBS platform libraries...)
# A deliverable: shared library "<name>.so" (no lib prefix), only the .def
# names exported, DllMain called at load and unload, linked against exactly
# the platform libraries named.
function(kx_add_deliverable name)
    cmake_parse_arguments(ARG "" "DEF" "SOURCES;LIBS" ${ARGN})
    add_library(${name} SHARED ${ARG_SOURCES} $<TARGET_OBJECTS:kx_dllentry>)
    set_target_properties(${name} PROPERTIES
        PREFIX ""
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    target_link_options(${name} PRIVATE -Wl,--no-undefined -Wl,--as-needed)
    target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
    if(ARG_DEF)
        set_property(TARGET ${name} PROPERTY KX_DEF_FILE ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DEF})
        add_test(NAME ${name}.exports
                 COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-elf-exports.sh
                         $<TARGET_FILE:${name}> ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DEF})
    endif()
endfunction()

# kx_add_test_folder(name LIBS ... [TEST_PROPERTIES name value ...]): one
# GoogleTest program of every *.cpp in the calling folder (and the hang
# watch, platform/testing/hang_report.cpp); TEST_PROPERTIES
# are set on each of its tests (ENVIRONMENT is taken: use
# ENVIRONMENT_MODIFICATION).
function(kx_add_test_folder name)
    cmake_parse_arguments(ARG "" "" "LIBS;TEST_PROPERTIES" ${ARGN})
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    # hang_report.cpp: a hung test prints its threads' stacks and aborts.
    add_executable(${name} ${srcs} ${CMAKE_SOURCE_DIR}/platform/testing/hang_report.cpp)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main pthread)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "KX_DEVICE_ROOT=${CMAKE_BINARY_DIR}/device"
                                    ${ARG_TEST_PROPERTIES})
endfunction()
include(GoogleTest)
include(KxResources)
