// Set-up of the download dialog on WM_INITDIALOG and release of its fonts on WM_DESTROY.
#include <windows.h>

#include <commctrl.h>

#include "app/AppState.h"
#include "app/CenteredMessageBox.h"
#include "app/DialogControls.h"
#include "app/DialogIds.h"
#include "app/DownloadDialog.h"

ControlFont stageFont{};
ControlFont setupTitleFont{};
ControlFont thanksFont{};
HWND bytesDoneLabel = nullptr;
HWND bytesTotalLabel = nullptr;
HWND progressBar = nullptr;
HWND cancelButton = nullptr;

namespace {

// Gives control a copy of its current font with the height changed by heightDelta logical units
// and the weight set, upright and not underlined. On failure the control keeps its font.
void ApplyControlFont(HWND dialog, int id, LONG heightDelta, LONG weight, ControlFont& record)
{
    record.control = GetDlgItem(dialog, id);
    LOGFONTW font{};
    record.initialFont = reinterpret_cast<HFONT>(SendMessageW(record.control, WM_GETFONT, 0, 0));
    if (record.initialFont != nullptr)
        GetObjectW(record.initialFont, sizeof(font), &font);
    font.lfHeight += heightDelta;
    font.lfWeight = weight;
    font.lfItalic = 0;
    font.lfUnderline = 0;
    record.createdFont = CreateFontIndirectW(&font);
    if (record.createdFont != nullptr)
        SendMessageW(record.control, WM_SETFONT, reinterpret_cast<WPARAM>(record.createdFont),
                     TRUE);
}

void RestoreControlFont(ControlFont& record)
{
    if (record.createdFont == nullptr)
        return;
    SendMessageW(record.control, WM_SETFONT, reinterpret_cast<WPARAM>(record.initialFont), FALSE);
    DeleteObject(record.createdFont);
    record.createdFont = nullptr;
}

} // namespace

void InitDownloadDialog(HWND dialog)
{
    const MStringEx<wchar_t> productName = VersionString(L"ProductName");
    const MStringEx<wchar_t> internalName = VersionString(L"InternalName");

    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(dialogIcon));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(dialogIcon));
    SetWindowTextW(dialog, MStringEx<wchar_t>::Format(L"%s %s", productName, internalName).Data());

    const HWND appIcon = GetDlgItem(dialog, IDC_APP_ICON);
    SetWindowTextW(appIcon, L"");
    SetWindowPos(appIcon, nullptr, 0, 0, 48, 48,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS | SWP_NOOWNERZORDER);
    const LONG style = GetWindowLongW(appIcon, GWL_STYLE);
    SetWindowLongW(appIcon, GWL_STYLE, (style & ~0x0CL) | SS_ICON);
    SendMessageW(appIcon, STM_SETICON, reinterpret_cast<WPARAM>(dialogIcon), 0);

    SetDlgItemTextW(dialog, IDC_SETUP_TITLE, L"");

    ApplyControlFont(dialog, IDC_STAGE, -2, FW_BOLD, stageFont);
    ApplyControlFont(dialog, IDC_SETUP_TITLE, -4, FW_BOLD, setupTitleFont);
    ApplyControlFont(dialog, IDC_THANKS, 1, FW_NORMAL, thanksFont);

    bytesDoneLabel = GetDlgItem(dialog, IDC_BYTES_DONE);
    bytesTotalLabel = GetDlgItem(dialog, IDC_BYTES_TOTAL);
    SetWindowTextW(bytesDoneLabel, L"");
    SetWindowTextW(bytesTotalLabel, L"");
    progressBar = GetDlgItem(dialog, IDC_PROGRESS);
    SendMessageW(progressBar, PBM_SETRANGE32, 0, 5000);
    cancelButton = GetDlgItem(dialog, IDC_CANCEL_DOWNLOAD);

    if (GetParent(dialog) == GetDesktopWindow())
        CenterOnPrimaryWorkArea(dialog);
    else
        CenterOverParent(dialog);
}

void ReleaseDialogFonts()
{
    RestoreControlFont(stageFont);
    RestoreControlFont(setupTitleFont);
    RestoreControlFont(thanksFont);
}
