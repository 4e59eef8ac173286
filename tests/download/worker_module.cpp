// A module made of the program library and a version block only, whose export starts a run's
// worker as the start sequence does. Its worker ends at once (the module has no strings to show)
// and has no dialog to report to: what is left to watch is the module's own lifetime.
#include <windows.h>

#include "download/DownloadJob.h"
#include "download/DownloadWorker.h"
#include "foundation/SystemLibraries.h"

// Reads the job's version values from this module, then hands the job to a new worker. TRUE when
// the worker was started. No exception leaves it.
extern "C" __declspec(dllexport) BOOL StartWorkerWithoutDialog()
{
    moduleInstance = ThisModule(false);
    try {
        DownloadJob* const job = new DownloadJob(nullptr);
        if (StartDownloadWorker(job)) {
            return TRUE;
        }
        delete job;
    } catch (...) {
    }
    return FALSE;
}
