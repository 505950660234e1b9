# The deliverables, one folder each. A folder's deliverable.cmake is the
# deliverable's one build description (its name, sources, resources and the
# platform libraries it links), read alike by the host build (CMakeLists.txt)
# and the Windows build (windows/CMakeLists.txt); the .def beside it, named
# after the deliverable, lists its exports.
set(KX_DELIVERABLE_FOLDERS command_driver apn_provisioning modem_applet)

# kx_read_deliverable(root folder): the description in
# <root>/<folder>/deliverable.cmake, as the caller's variables
# KX_DELIVERABLE (the name), KX_DELIVERABLE_DEF, KX_DELIVERABLE_SOURCES,
# KX_DELIVERABLE_RESOURCES, KX_DELIVERABLE_RESOURCE_FILES (what the .rc
# files name; all absolute paths) and KX_DELIVERABLE_PLATFORM (the platform
# libraries, as the target names them: coredll, ril, ...).
macro(kx_read_deliverable root folder)
    foreach(kx_field NAME SOURCES RESOURCES RESOURCE_FILES PLATFORM)
        unset(DELIVERABLE_${kx_field})
    endforeach()
    include(${root}/${folder}/deliverable.cmake)
    set(KX_DELIVERABLE ${DELIVERABLE_NAME})
    set(KX_DELIVERABLE_DEF ${root}/${folder}/${DELIVERABLE_NAME}.def)
    foreach(kx_field SOURCES RESOURCES RESOURCE_FILES)
        set(KX_DELIVERABLE_${kx_field} ${DELIVERABLE_${kx_field}})
        list(TRANSFORM KX_DELIVERABLE_${kx_field} PREPEND ${root}/${folder}/)
    endforeach()
    set(KX_DELIVERABLE_PLATFORM ${DELIVERABLE_PLATFORM})
endmacro()
