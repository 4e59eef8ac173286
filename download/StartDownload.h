// The start of a run, on the dialog thread, in answer to WM_START_DOWNLOAD.
#ifndef KDM_DOWNLOAD_STARTDOWNLOAD_H
#define KDM_DOWNLOAD_STARTDOWNLOAD_H

#include <windows.h>

// Builds the run's job, probes the download address (IDS_SITE_UNREACHABLE when unreachable),
// settles the Windows name (IDS_SYSTEM_TOO_OLD or IDS_SYSTEM_UNKNOWN and the product web site when
// unsupported), shows the setup title, lets the user choose and creates the target file
// (IDS_CANNOT_CREATE_FILE when it cannot be made), and starts the worker thread with the job.
// Returns true when the worker runs (it ends the dialog with WM_DOWNLOAD_DONE), false when the
// start ended; whatever message was due has been shown then. Exceptions other than the
// unsupported-system signal pass to the caller, which ends the start as if it had returned false.
bool StartDownload(HWND dialog);

#endif
