// Process-wide state of the program. Written by the entry points before the dialog exists and
// only read afterwards, except where a comment says otherwise. The part that the download
// orchestration reads as well (the installer's version code, the cancel event and the completion
// lock) is declared in DialogServices.h.
#ifndef KDM_APP_APPSTATE_H
#define KDM_APP_APPSTATE_H

#include <windows.h>

#include "app/DialogServices.h"
#include "foundation/Foundation.h"

// True when the program runs through wWinMain, false through an export. Decides how a failed
// start ends the dialog.
extern bool standaloneMode;
// The program icon while the dialog runs; null when it could not be loaded.
extern HICON dialogIcon;

#endif
