// The worker thread of a run: transfer, verification, the user's questions and the launch.
#ifndef KDM_DOWNLOAD_DOWNLOADWORKER_H
#define KDM_DOWNLOAD_DOWNLOADWORKER_H

#include <windows.h>

#include "download/DownloadJob.h"
#include "foundation/Foundation.h"

// Thread procedure. `parameter` is the run's DownloadJob, whose ownership passes to the thread;
// the job's file is open and empty. Posts WM_DOWNLOAD_DONE to the job's dialog exactly once
// (1 when the installer was launched, 0 otherwise), then deletes the job. Started only through
// StartDownloadWorker: it ends by releasing the module reference taken for it there. No exception
// leaves it. Always returns 0.
DWORD WINAPI DownloadWorker(void* parameter);

// Starts DownloadWorker on a thread of its own with `job`, whose ownership passes to the thread.
// Takes a reference to the module for the thread before creating it, so that a host may unload
// the module as soon as the dialog has ended, even before the thread has run. False when the
// thread could not be started: the reference is released again and the job stays the caller's.
bool StartDownloadWorker(DownloadJob* job);

// The request header block for the product, its version (only the part before the first "." is
// sent), the Windows name and the processor word size.
MStringEx<wchar_t> RequestHeaderBlock(const MStringEx<wchar_t>& productName,
                                      const MStringEx<wchar_t>& productVersion,
                                      const MStringEx<wchar_t>& osName,
                                      const MStringEx<wchar_t>& bitness);

#endif
