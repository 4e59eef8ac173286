// Process-wide state of the program. Written by the entry points before the dialog exists and
// only read afterwards, except where a comment says otherwise.
#ifndef KDM_APP_APPSTATE_H
#define KDM_APP_APPSTATE_H

#include <windows.h>

#include "foundation/Foundation.h"

// True when the program runs through wWinMain, false through an export. Decides how a failed
// start ends the dialog.
extern bool standaloneMode;
// The Windows version code given by a calling installer, or null. Not copied: the caller keeps it
// valid for the whole call.
extern const wchar_t* installerOsVersion;
// The program icon while the dialog runs; null when it could not be loaded.
extern HICON dialogIcon;

// Manual-reset event, not signalled at start: set by ConfirmCancel, reset by the worker when a
// download starts, polled by the transfer, the hash observer and the worker.
extern MHandle cancelEvent;
// Held by the worker for its final stage; ConfirmCancel only tries it.
extern CRITICAL_SECTION completionLock;

#endif
