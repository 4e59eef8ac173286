// The download dialog's procedure: one short handler per message. Every handler runs on the
// dialog thread; exceptions are caught here because none may cross back into the dialog manager.
#include <windows.h>

#include <cstdint>

#include "app/AppState.h"
#include "app/CancelConfirmation.h"
#include "app/DialogIds.h"
#include "app/DialogServices.h"
#include "app/DownloadDialog.h"
#include "app/ProgressDisplay.h"
#include "download/StartDownload.h"

namespace {

// The start runs on the dialog's first showing only: a dialog hidden and shown again (its owner
// minimised and restored) must not start a second run.
bool startPosted = false;

void OnInitDialog(HWND dialog)
{
    startPosted = false;
    try {
        InitDownloadDialog(dialog);
    } catch (...) {
        EndDialog(dialog, 0);
    }
}

void OnShowWindow(HWND dialog, WPARAM shown)
{
    if (shown != 0 && !startPosted) {
        startPosted = true;
        PostMessageW(dialog, WM_START_DOWNLOAD, 0, 0);
    }
}

void OnGoToWebsite(HWND dialog)
{
    try {
        OpenProductWebsite(dialog);
    } catch (...) {
    }
}

void OnConfirmCancel(HWND dialog)
{
    try {
        ConfirmCancel(dialog);
    } catch (...) {
    }
}

// A start that fails, or throws, ends the run with 0: through EndDialog when an installer called
// the module, so that no quit message reaches the installer's own message loop; through a quit
// message when the program runs on its own.
void OnStartDownload(HWND dialog)
{
    bool started = false;
    try {
        started = StartDownload(dialog);
    } catch (...) {
        started = false;
    }
    if (started)
        return;
    if (standaloneMode)
        PostQuitMessage(0);
    else
        EndDialog(dialog, 0);
}

void OnDownloadProgress(WPARAM totalPointer, LPARAM donePointer)
{
    // The values live in the sending worker's storage: copy them before anything else.
    const std::uint64_t total = *reinterpret_cast<const std::uint64_t*>(totalPointer);
    const std::uint64_t done = *reinterpret_cast<const std::uint64_t*>(donePointer);
    try {
        ShowDownloadProgress(total, done);
    } catch (...) {
    }
}

void OnVerifyProgress(LPARAM donePointer)
{
    const std::uint64_t done = *reinterpret_cast<const std::uint64_t*>(donePointer);
    try {
        ShowVerifyProgress(done);
    } catch (...) {
    }
}

} // namespace

INT_PTR CALLBACK DownloadDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        return TRUE;
    case WM_SHOWWINDOW:
        OnShowWindow(dialog, wParam);
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_GO_TO_WEBSITE)
            OnGoToWebsite(dialog);
        else if (LOWORD(wParam) == IDC_CANCEL_DOWNLOAD)
            OnConfirmCancel(dialog);
        return FALSE;
    case WM_CLOSE:
        OnConfirmCancel(dialog);
        return FALSE;
    case WM_DESTROY:
        ReleaseDialogFonts();
        return FALSE;
    case WM_START_DOWNLOAD:
        OnStartDownload(dialog);
        return FALSE;
    case WM_DOWNLOAD_PROGRESS:
        OnDownloadProgress(wParam, lParam);
        return FALSE;
    case WM_VERIFY_PROGRESS:
        OnVerifyProgress(lParam);
        return FALSE;
    case WM_DOWNLOAD_DONE:
        EndDialog(dialog, static_cast<INT_PTR>(LOWORD(wParam)));
        return TRUE;
    default:
        return FALSE;
    }
}
