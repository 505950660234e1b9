# ModemAbout, the control-panel applet (see cmake/KxDeliverables.cmake).
set(DELIVERABLE_NAME ModemAbout)
set(DELIVERABLE_SOURCES applet_entry.cpp info_page.cpp info_sources.cpp)
# Its icon, name and page template; the icon is made by make_icon.py.
set(DELIVERABLE_RESOURCES ModemAbout.rc)
set(DELIVERABLE_RESOURCE_FILES ModemAbout.ico resource_ids.h)
set(DELIVERABLE_PLATFORM coredll commctrl aygshell ril cellcore)
