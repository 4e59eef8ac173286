// The download dialog's procedure: one short handler per message. Every handler runs on the
// dialog thread, and its work runs through RunContained, because no exception may cross back
// into the dialog manager.
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

// The one exception policy of the dialog procedure. Its handlers run inside the dialog manager, a
// Win32 callback that no C++ exception may cross (it would unwind through the system's frames),
// so each handler's work runs through this: it catches everything, the foundation's exception
// records and anything else alike, and tells whether the work completed. What a failure means is
// the handler's row: a failed set-up or start ends the dialog, a failed progress update or button
// press leaves the dialog as it was.
template <typename Work> bool RunContained(Work work)
{
    try {
        work();
        return true;
    } catch (...) {
        return false;
    }
}

// The start runs on the dialog's first showing only: a dialog hidden and shown again (its owner
// minimised and restored) must not start a second run.
bool startPosted = false;

void OnInitDialog(HWND dialog)
{
    startPosted = false;
    if (!RunContained([dialog] { InitDownloadDialog(dialog); }))
        EndDialog(dialog, 0);
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
    RunContained([dialog] { OpenProductWebsite(dialog); });
}

void OnConfirmCancel(HWND dialog)
{
    RunContained([dialog] { ConfirmCancel(dialog); });
}

// A start that fails, or throws, ends the run with 0: through EndDialog when an installer called
// the module, so that no quit message reaches the installer's own message loop; through a quit
// message when the program runs on its own.
void OnStartDownload(HWND dialog)
{
    bool started = false;
    if (RunContained([dialog, &started] { started = StartDownload(dialog); }) && started)
        return;
    if (standaloneMode)
        PostQuitMessage(0);
    else
        EndDialog(dialog, 0);
}

void OnDownloadProgress(WPARAM totalPointer, LPARAM donePointer)
{
    // The values live in the sending thread's storage: copy them before anything else. No count
    // means that the transfer is connecting again for the rest of the body.
    if (donePointer == 0) {
        RunContained([] { ShowReconnecting(); });
        return;
    }
    const std::uint64_t total = *reinterpret_cast<const std::uint64_t*>(totalPointer);
    const std::uint64_t done = *reinterpret_cast<const std::uint64_t*>(donePointer);
    RunContained([total, done] { ShowDownloadProgress(total, done); });
}

void OnVerifyProgress(LPARAM donePointer)
{
    const std::uint64_t done = *reinterpret_cast<const std::uint64_t*>(donePointer);
    RunContained([done] { ShowVerifyProgress(done); });
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
