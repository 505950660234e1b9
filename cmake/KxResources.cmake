# kx_add_resources(target file.rc [DEPENDS files...])
#
# Compiles a resource script with windres (binutils for mingw-w64; the
# script sees the genuine Windows headers) into the .res format and links it
# into the target as the ELF section ".kxrsrc". At run time coredll finds the
# section from the module's instance handle (or in a file under the device
# root) and reads the resources with Win32 semantics.
#
# kx_add_resource_file(output file.rc [DEPENDS files...]) writes the
# compiled resources to a file of their own (the .res format, which the
# version functions also read): fixture files of the device image.
find_program(KX_WINDRES NAMES x86_64-w64-mingw32-windres windres REQUIRED)
find_program(KX_OBJCOPY NAMES objcopy REQUIRED)

function(kx_compile_rc rc res)
    cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
    get_filename_component(rc_abs ${rc} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    get_filename_component(rc_dir ${rc_abs} DIRECTORY)
    set(deps "")
    foreach(dep ${ARG_DEPENDS})
        get_filename_component(dep_abs ${dep} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        list(APPEND deps ${dep_abs})
    endforeach()
    add_custom_command(OUTPUT ${res}
        COMMAND ${KX_WINDRES} --input-format=rc --output-format=res
                --include-dir=${rc_dir} -i ${rc_abs} -o ${res}
        DEPENDS ${rc_abs} ${deps}
        WORKING_DIRECTORY ${rc_dir}
        COMMENT "Compiling resources ${rc}"
        VERBATIM)
endfunction()

function(kx_add_resources target rc)
    get_filename_component(stem ${rc} NAME_WE)
    set(res ${CMAKE_CURRENT_BINARY_DIR}/${target}_${stem}.res)
    set(obj ${CMAKE_CURRENT_BINARY_DIR}/${target}_${stem}.res.o)
    kx_compile_rc(${rc} ${res} ${ARGN})
    # An object whose only content is the section; its symbols are dropped
    # so that nothing extra is exported.
    add_custom_command(OUTPUT ${obj}
        COMMAND ${KX_OBJCOPY} -I binary -O elf64-x86-64 -B i386:x86-64
                --rename-section .data=.kxrsrc,alloc,load,readonly,data,contents
                --strip-all --add-section .note.GNU-stack=/dev/null
                --set-section-flags .note.GNU-stack=contents,readonly
                ${target}_${stem}.res ${obj}
        DEPENDS ${res}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        COMMENT "Embedding resources ${rc} in ${target}"
        VERBATIM)
    set_source_files_properties(${obj} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    target_sources(${target} PRIVATE ${obj})
endfunction()

function(kx_add_resource_file output rc)
    kx_compile_rc(${rc} ${output} ${ARGN})
endfunction()
