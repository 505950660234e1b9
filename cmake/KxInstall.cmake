# Install rules of the host programs: kxsim and kxmodem in the package folder
# with the libraries (KxBuild.cmake installs those), links to them in
# <prefix>/bin, the device image beside them, a manual page per program and
# per kxsim subcommand generated from its --help by help2man, and one bash
# completion file (completing from the programs' own --help).
if(NOT TARGET kxsim OR NOT TARGET kxmodem)
    return()
endif()

install(TARGETS kxsim kxmodem RUNTIME DESTINATION ${KX_INSTALL_BIN_DIR})
foreach(program kxsim kxmodem)
    install(CODE "
        set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
        file(CREATE_LINK ../${KX_INSTALL_BIN_DIR}/${program} \"\${link}\" SYMBOLIC)
        message(STATUS \"Installing: \${link} -> ../${KX_INSTALL_BIN_DIR}/${program}\")")
endforeach()

# The device image: the whole folder as the build lays it out.
install(DIRECTORY ${CMAKE_BINARY_DIR}/device/ DESTINATION ${KX_INSTALL_PACKAGE_DIR}/device)

# Manual pages: help2man runs each program's --help and --version.
find_program(KX_HELP2MAN help2man REQUIRED)
set(man_dir ${CMAKE_BINARY_DIR}/man)
set(man_pages "")
set(kxsim_subcommands applet connect modem provision run soak tunnel)
foreach(page kxsim kxmodem ${kxsim_subcommands})
    if(page STREQUAL "kxsim" OR page STREQUAL "kxmodem")
        set(name ${page})
        set(command $<TARGET_FILE:${page}>)
        set(depends ${page})
    else()
        set(name kxsim-${page})
        set(command "$<TARGET_FILE:kxsim> ${page}")
        set(depends kxsim)
    endif()
    add_custom_command(OUTPUT ${man_dir}/${name}.1
        COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
        COMMAND ${KX_HELP2MAN} --no-info --no-discard-stderr --output=${man_dir}/${name}.1
                "${command}"
        DEPENDS ${depends}
        COMMENT "Manual page ${name}.1"
        VERBATIM)
    list(APPEND man_pages ${man_dir}/${name}.1)
endforeach()
add_custom_target(kx_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION share/man/man1)

install(FILES ${CMAKE_SOURCE_DIR}/tools/completion/kxradio.bash
        DESTINATION share/bash-completion/completions RENAME kxsim)
install(FILES ${CMAKE_SOURCE_DIR}/tools/completion/kxradio.bash
        DESTINATION share/bash-completion/completions RENAME kxmodem)
