// Control state that the dialog set-up stores for the progress display and the worker.
// Written once per dialog by InitDownloadDialog on the dialog thread, read afterwards.
#ifndef KDM_APP_DIALOGCONTROLS_H
#define KDM_APP_DIALOGCONTROLS_H

#include <windows.h>

// A control whose font the set-up replaced, and what ReleaseDialogFonts needs to undo it.
struct ControlFont {
    HFONT initialFont; // the font the control had; not owned
    HFONT createdFont; // owned; null when creation failed or after release
    HWND control;
};

extern ControlFont stageFont;
extern ControlFont setupTitleFont;
extern ControlFont thanksFont;

extern HWND bytesDoneLabel;
extern HWND bytesTotalLabel;
extern HWND progressBar;
extern HWND cancelButton;

#endif
