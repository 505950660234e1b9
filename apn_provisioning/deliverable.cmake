# CarrierCfg, the access-point provisioning stream driver (prefix APN; see
# cmake/KxDeliverables.cmake).
set(DELIVERABLE_NAME CarrierCfg)
set(DELIVERABLE_SOURCES driver_entry.cpp profile_match.cpp document_template.cpp)
set(DELIVERABLE_PLATFORM coredll ril aygshell)
