// Property-sheet additions of Windows CE / Windows Mobile that the desktop
// prsht.h lacks: the sheet callback's version and title questions and the
// full-screen sheet flag. Shared by the host and the Windows build.
#pragma once

#ifndef PSCB_GETVERSION
#define PSCB_GETVERSION 3 // answer: the common-controls version the sheet is built for
#endif
#ifndef PSCB_GETTITLE
#define PSCB_GETTITLE 4 // lParam: a title buffer of MAX_PATH wide characters to fill
#endif
#ifndef PSCB_GETLINKTEXT
#define PSCB_GETLINKTEXT 5
#endif
#ifndef PSH_MAXIMIZE
#define PSH_MAXIMIZE 0x00002000 // the sheet fills the screen
#endif
