// The ids of ModemAbout's resources, shared by ModemAbout.rc and the code.
#pragma once

#define IDS_APPLET_NAME 1 // the applet's name in the control panel
#define IDI_APPLET 2      // its control-panel icon
#define IDD_INFO_PAGE 3   // the template of its information page
