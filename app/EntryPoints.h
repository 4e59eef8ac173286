// The module's exports. An installer finds them under their Microsoft-decorated names
// (see KestruneDownloadManager.def). Result: 1 when the installer package was downloaded and
// launched, 0 when the run ended otherwise, -1 when the dialog could not be created.
#ifndef KDM_APP_ENTRYPOINTS_H
#define KDM_APP_ENTRYPOINTS_H

#include <windows.h>

#include "foundation/SystemLibraries.h"

extern "C" int WINAPI DownloadFile(HWND const owner);
// osVersion: a decimal Windows version code such as 501, 600, 601 or 602, or null.
extern "C" int WINAPI DownloadFileForInstaller(HWND const owner, const wchar_t* osVersion);

// The program's run behind wWinMain: the dialog over the desktop, from the executable's own
// resources. Returns 0 whatever happened.
int RunProgram(HINSTANCE instance);

// wWinMain's whole work, first thing in the process: restricts the library search with
// `setDefaultDllDirectories` (null where the system lacks it); where it cannot, holds
// PreloadedLibraries for the run. Then RunProgram. Returns 0.
int StartProgram(HINSTANCE instance, SetDefaultDllDirectoriesFunction setDefaultDllDirectories);

// Loads the icon, runs the modal dialog on the calling thread and destroys the icon. Returns what
// DialogBoxParamW returned, or -1 when a delay-loaded system library cannot be loaded; the
// program (standaloneMode) then names the library in a message box first.
INT_PTR RunDownloadDialog(HWND owner);

#endif
