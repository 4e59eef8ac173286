// The start of a run, on the dialog thread, in answer to WM_START_DOWNLOAD.
#ifndef KDM_DOWNLOAD_STARTDOWNLOAD_H
#define KDM_DOWNLOAD_STARTDOWNLOAD_H

#include <windows.h>

// Prepares the run and starts the worker thread. Returns true when the worker runs (it ends the
// dialog with WM_DOWNLOAD_DONE), false when the start failed or was abandoned; whatever message
// was due has been shown then.
bool StartDownload(HWND dialog);

#endif
