// The download dialog: its procedure and the handlers that the procedure calls.
#ifndef KDM_APP_DOWNLOADDIALOG_H
#define KDM_APP_DOWNLOADDIALOG_H

#include <windows.h>

// Dialog procedure of IDD_DOWNLOAD. Runs on the dialog thread; no exception leaves it.
INT_PTR CALLBACK DownloadDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// WM_INITDIALOG: icons, title, icon control, fonts, stored control handles, progress range and
// placement. May throw (a missing version value); the dialog procedure ends the dialog then.
void InitDownloadDialog(HWND dialog);
// WM_DESTROY: gives the re-fonted controls their initial fonts back and deletes the created ones.
void ReleaseDialogFonts();

#endif
