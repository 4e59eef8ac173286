// Cancel confirmation.
#ifndef KDM_APP_CANCELCONFIRMATION_H
#define KDM_APP_CANCELCONFIRMATION_H

#include <windows.h>

// Asks whether to cancel the download and sets cancelEvent on Yes. Never blocks: while the worker
// holds completionLock (its final stage) the request is dropped without a message. Dialog thread.
// Throws when the version block or string IDS_CONFIRM_CANCEL cannot be read.
void ConfirmCancel(HWND dialog);

#endif
