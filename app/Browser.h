// Opening a web page in the user's browser.
#ifndef KDM_APP_BROWSER_H
#define KDM_APP_BROWSER_H

#include <windows.h>

#include "foundation/Foundation.h"

// Starts the user's Start-menu browser with address as its parameter; when there is none, or it
// cannot be started, lets the shell open the address. Returns the last ShellExecuteW result
// (greater than 32 means success). Throws only when the heap is exhausted.
HINSTANCE OpenInBrowser(HWND owner, const MStringEx<wchar_t>& verb,
                        const MStringEx<wchar_t>& address, int showCommand);

// The program path of a browser's open command as registered: every leading and trailing
// double quote removed, inner ones kept.
MStringEx<wchar_t> BrowserCommandPath(const MStringEx<wchar_t>& command);

#endif
