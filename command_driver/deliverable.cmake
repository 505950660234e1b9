# KxCmdApi, the connection command driver (see cmake/KxDeliverables.cmake).
set(DELIVERABLE_NAME KxCmdApi)
set(DELIVERABLE_SOURCES
    driver.cpp
    dll_main.cpp
    transaction_slot.cpp
    control_frames.cpp
    control_requests.cpp
    control_replies.cpp
    status_listener.cpp
    connection_operations.cpp
    data_channels.cpp)
# Its version resource (FileVersion), read by the control-panel applet.
set(DELIVERABLE_RESOURCES KxCmdApi.rc)
set(DELIVERABLE_PLATFORM coredll)
