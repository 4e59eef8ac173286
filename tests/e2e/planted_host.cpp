// An installer downloaded into the same folder as the module: loads KestruneDownloadManager.dll
// from its own folder as installers do (LoadLibraryExW with LOAD_WITH_ALTERED_SEARCH_PATH, so
// that the module's imports are searched there first), calls DownloadFile with a window of its
// own as owner and exits with the export's result (-100 when the module or the export is
// missing). Before that it loads the library named by its argument, if any, by name: a control
// that shows the test that libraries are searched in this folder. Imports only known system
// libraries itself.
#include <windows.h>

#include "foundation/SystemLibraries.h"

namespace {

using DownloadFileExport = int(WINAPI*)(HWND);

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    if (commandLine != nullptr && commandLine[0] != L'\0') {
        const HMODULE control = LoadLibraryW(commandLine);
        if (control != nullptr) {
            FreeLibrary(control);
        }
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* const name = wcsrchr(path, L'\\');
    if (length == 0 || length >= MAX_PATH || name == nullptr || (name - path) + 30 >= MAX_PATH) {
        return -100;
    }
    lstrcpyW(name + 1, L"KestruneDownloadManager.dll");
    const HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        return -100;
    }
    const DownloadFileExport downloadFile =
        GetProcAddressAs<DownloadFileExport>(module, "?DownloadFile@@YGHQAUHWND__@@@Z");
    int result = -100;
    if (downloadFile != nullptr) {
        const HWND owner = CreateWindowExW(0, L"STATIC", L"Installer", WS_OVERLAPPEDWINDOW, 100,
                                           100, 400, 300, nullptr, nullptr, nullptr, nullptr);
        result = downloadFile(owner);
        if (owner != nullptr) {
            DestroyWindow(owner);
        }
    }
    FreeLibrary(module);
    return result;
}
