// Resource ids of the download dialog and the program's private window messages.
// Included by the resource script as well as by the code, so it holds only #defines.
#ifndef KDM_APP_DIALOGIDS_H
#define KDM_APP_DIALOGIDS_H

#include <windows.h>

#define IDI_APP 100
#define IDD_DOWNLOAD 101

#define IDC_PROGRESS 1000
#define IDC_GO_TO_WEBSITE 1001
#define IDC_STAGE 1002
#define IDC_APP_ICON 1003
#define IDC_SETUP_TITLE 1004
#define IDC_CANCEL_DOWNLOAD 1005
#define IDC_THANKS 1006
#define IDC_BYTES_TOTAL 1007
#define IDC_BYTES_DONE 1008

// Posted by the dialog to itself when it is first shown. wParam 0, lParam 0.
#define WM_START_DOWNLOAD (WM_USER + 30)
// Sent (never posted) by the transfer after each block written. wParam: const std::uint64_t*
// expected total (0 = unknown); lParam: const std::uint64_t* bytes written so far. The values
// live in the sender's storage and are valid only while the handler runs.
#define WM_DOWNLOAD_PROGRESS (WM_USER + 31)
// Sent (never posted) while the file hash is computed. wParam: const std::uint64_t* file size;
// lParam: const std::uint64_t* bytes hashed so far.
#define WM_VERIFY_PROGRESS (WM_USER + 32)
// Posted once by the worker when the run ends. wParam: the dialog result in its low 16 bits
// (1 = installer launched, 0 otherwise). lParam 0.
#define WM_DOWNLOAD_DONE (WM_USER + 33)

#endif
