// Control state that the dialog set-up stores for the progress display and the worker.
// Written once per dialog by InitDownloadDialog on the dialog thread, read afterwards. The labels
// and the Cancel button that the worker uses are declared in DialogServices.h.
#ifndef KDM_APP_DIALOGCONTROLS_H
#define KDM_APP_DIALOGCONTROLS_H

#include <windows.h>

#include "app/DialogServices.h"

// A control whose font the set-up replaced, and what ReleaseDialogFonts needs to undo it.
struct ControlFont {
    HFONT initialFont; // the font the control had; not owned
    HFONT createdFont; // owned; null when creation failed or after release
    HWND control;
};

extern ControlFont stageFont;
extern ControlFont setupTitleFont;
extern ControlFont thanksFont;

extern HWND progressBar;

#endif
