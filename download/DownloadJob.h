// The record that carries one run from the dialog thread to the worker thread.
#ifndef KDM_DOWNLOAD_DOWNLOADJOB_H
#define KDM_DOWNLOAD_DOWNLOADJOB_H

#include <windows.h>

#include "foundation/Foundation.h"

// Built on the heap by the start sequence and held through an MSmartPtr while the platform and
// the target file are settled; then handed, with its ownership, to the worker thread as its only
// argument, and deleted by the worker at its end. Before the hand-over only the dialog thread
// touches it, after it only the worker. Not copyable.
class DownloadJob {
public:
    // Reads ProductName, ProductVersion and InternalName of the module's version block, in that
    // order, and keeps `dialogWindow`. Raises MStringExException 0 when a value is missing; the
    // values read before are released then. `file` is invalid, `filePath` and `osName` empty.
    explicit DownloadJob(HWND dialogWindow);
    // Closes `file` when it still holds a handle (a handle the worker already closed is not
    // closed again). The target file itself stays on disk.
    ~DownloadJob();
    DownloadJob(const DownloadJob&) = delete;
    DownloadJob& operator=(const DownloadJob&) = delete;

    MStringEx<wchar_t> productName;
    MStringEx<wchar_t> productVersion;
    // Caption of the run's message boxes and the agent name of the transfer.
    MStringEx<wchar_t> internalName;
    // Owner of every message box and of the Save As dialog; not owned.
    HWND dialog;
    // The open target file (read and write, not shared): invalid until ChooseTargetFile has
    // created it.
    MHandle file;
    // Full path of the target file; empty until ChooseTargetFile has created it.
    MStringEx<wchar_t> filePath;
    // "XP", "Vista", "7" or "8"; empty until SelectPlatform has settled it.
    MStringEx<wchar_t> osName;
};

#endif
