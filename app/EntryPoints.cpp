// The entry points: the two exports that an installer calls (mapped to their decorated names by
// KestruneDownloadManager.def), and the program's run behind wWinMain.
#include <windows.h>

#include <commctrl.h>

#include <cwchar>

#include "app/AppState.h"
#include "app/CenteredMessageBox.h"
#include "app/DialogIds.h"
#include "app/DownloadDialog.h"
#include "app/EntryPoints.h"
#include "foundation/ResourceStrings.h"
#include "foundation/SystemLibraries.h"

namespace {

// The program's word when a system library cannot be loaded, where Windows would have named it
// had the program imported the library statically: the library's name and the system's text for
// the error, with the error icon. The caption is the version block's InternalName; without
// version.dll that block cannot be read, and the caption is the program's file name instead, as
// in Windows' own message. Shows nothing when even that fails.
void ReportUnloadableLibrary(const DelayLoadedLibraries& libraries)
{
    try {
        const MStringEx<wchar_t> path = ModuleFilePath(moduleInstance);
        const wchar_t* const separator = std::wcsrchr(path.Data(), L'\\');
        const MStringEx<wchar_t> caption =
            libraries.IsLoaded(L"version.dll")
                ? VersionString(L"InternalName")
                : MStringEx<wchar_t>(separator != nullptr ? separator + 1 : path.Data());
        CenteredMessageBox(nullptr,
                           MStringEx<wchar_t>::Format(
                               L"%s: %s", MStringEx<wchar_t>(libraries.FailedLibrary()),
                               MStringEx<wchar_t>::FromWin32Error(libraries.FailureError())),
                           caption, MB_OK | MB_ICONERROR);
    } catch (...) {
    }
}

} // namespace

INT_PTR RunDownloadDialog(HWND owner)
{
    // Loaded from the system folder before the first call into any of them; without one of them
    // the dialog cannot be run. The module returns -1 and leaves the word to its caller.
    const DelayLoadedLibraries libraries;
    if (!libraries.AllLoaded()) {
        if (standaloneMode) {
            ReportUnloadableLibrary(libraries);
        }
        return -1;
    }
    // The template holds a progress bar: its window class must be registered before the dialog
    // is created, or Windows cannot create the dialog.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    dialogIcon = static_cast<HICON>(
        LoadImageW(moduleInstance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR));
    INT_PTR result = DialogBoxParamW(moduleInstance, MAKEINTRESOURCEW(IDD_DOWNLOAD), owner,
                                     DownloadDialogProc, 0);
    if (dialogIcon != nullptr) {
        DestroyIcon(dialogIcon);
        dialogIcon = nullptr;
    }
    return result;
}

namespace {

int RunForInstaller(HWND owner, const wchar_t* osVersion)
{
    standaloneMode = false;
    installerOsVersion = osVersion;
    // Resources and the version block are always read from this module, never from the host.
    moduleInstance = ThisModule(false);
    // Before the first library is loaded: common controls 6 for the dialog, whatever the host.
    const ManifestActivation manifest;
    // The host's search may take libraries from its own folder, which is often the module's.
    const PreloadedLibraries preloaded;
    return static_cast<int>(RunDownloadDialog(owner));
}

} // namespace

int RunProgram(HINSTANCE instance)
{
    standaloneMode = true;
    installerOsVersion = nullptr;
    moduleInstance = instance;
    RunDownloadDialog(GetDesktopWindow());
    return 0;
}

int StartProgram(HINSTANCE instance, SetDefaultDllDirectoriesFunction setDefaultDllDirectories)
{
    if (RestrictLibrarySearch(setDefaultDllDirectories)) {
        return RunProgram(instance);
    }
    const PreloadedLibraries preloaded;
    return RunProgram(instance);
}

extern "C" int WINAPI DownloadFile(HWND const owner)
{
    return RunForInstaller(owner, nullptr);
}

extern "C" int WINAPI DownloadFileForInstaller(HWND const owner, const wchar_t* osVersion)
{
    return RunForInstaller(owner, osVersion);
}
