#include <windows.h>

#include "app/AppState.h"
#include "app/CancelConfirmation.h"
#include "app/CenteredMessageBox.h"
#include "resources/StringIds.h"

void ConfirmCancel(HWND dialog)
{
    const CriticalSectionGuard lock = CriticalSectionGuard::TryEnter(completionLock);
    if (!lock.IsEntered())
        return;
    const MStringEx<wchar_t> caption =
        VersionString(L"ProductName") + L" " + VersionString(L"InternalName");
    const MStringEx<wchar_t> text = ResourceString(IDS_CONFIRM_CANCEL);
    if (CenteredMessageBox(dialog, text, caption, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) ==
        IDYES) {
        SetEvent(cancelEvent.Get());
    }
}
