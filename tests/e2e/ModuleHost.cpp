#include "tests/e2e/ModuleHost.h"

#include "foundation/SystemLibraries.h"
#include "tests/support/BuiltModule.h"
#include "tests/support/Operator.h"
#include "tests/support/WaitUntil.h"

namespace kdm_test {

const char kDownloadFileName[] = "?DownloadFile@@YGHQAUHWND__@@@Z";
const char kDownloadFileForInstallerName[] = "?DownloadFileForInstaller@@YGHQAUHWND__@@PB_W@Z";
const wchar_t kDialogCaption[] = L"Kestrune Download Manager";

std::wstring ModulePath()
{
    return BuildTreePath(L"loopback-bin\\KestruneDownloadManager.dll");
}

std::wstring ProgramPath()
{
    return BuildTreePath(L"loopback-bin\\KestruneDownloadManager.exe");
}

std::wstring SearchFallbackProgramPath()
{
    return BuildTreePath(L"search-fallback-bin\\KestruneDownloadManager.exe");
}

std::wstring UnreachableModulePath()
{
    return BuildTreePath(L"unreachable-bin\\KestruneDownloadManager.dll");
}

std::wstring SignedModulePath()
{
    return BuildTreePath(L"signed-loopback-bin\\KestruneDownloadManager.dll");
}

std::wstring SignedProgramPath()
{
    return BuildTreePath(L"signed-loopback-bin\\KestruneDownloadManager.exe");
}

std::wstring HttpsModulePath()
{
    return BuildTreePath(L"https-bin\\KestruneDownloadManager.dll");
}

LoadedModule::LoadedModule(const std::wstring& path)
    : module(LoadLibraryW(path.c_str())),
      downloadFile(GetProcAddressAs<DownloadFileExport>(module, kDownloadFileName)),
      forInstaller(
          GetProcAddressAs<DownloadFileForInstallerExport>(module, kDownloadFileForInstallerName))
{
}

LoadedModule::~LoadedModule()
{
    if (module != nullptr) {
        FreeLibrary(module);
    }
}

DialogRun::EntryCall LoadedModule::ExportCall(const wchar_t* osVersion) const
{
    if (osVersion == nullptr) {
        return downloadFile;
    }
    const DownloadFileForInstallerExport call = forInstaller;
    return [call, osVersion](HWND owner) { return call(owner, osVersion); };
}

ProgramProcess::ProgramProcess(const std::wstring& arguments, const std::wstring& program)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
        startError = GetLastError();
        return;
    }
    CloseHandle(started.hThread);
    process = started.hProcess;
    id = started.dwProcessId;
}

ProgramProcess::~ProgramProcess()
{
    if (process == nullptr) {
        return;
    }
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
    }
    CloseHandle(process);
}

bool ProgramProcess::WaitForExit(DWORD timeoutMs, DWORD& exitCode)
{
    exitCode = STILL_ACTIVE;
    if (process == nullptr || WaitForSingleObject(process, ScaledMs(timeoutMs)) != WAIT_OBJECT_0) {
        return false;
    }
    GetExitCodeProcess(process, &exitCode);
    return true;
}

AbandoningUser::AbandoningUser(DWORD processId) : processId(processId)
{
    thread = CreateThread(nullptr, 0, &AbandoningUser::Run, this, 0, nullptr);
}

AbandoningUser::~AbandoningUser()
{
    stop = true;
    WaitForSingleObject(thread, kdm_test::ScaledMs(10000));
    CloseHandle(thread);
}

DWORD WINAPI AbandoningUser::Run(void* parameter)
{
    AbandoningUser* user = static_cast<AbandoningUser*>(parameter);
    Operator op(100);
    while (!user->stop) {
        for (const WindowInfo& window : TopLevelWindows()) {
            if (!window.visible || window.className != L"#32770" ||
                window.processId != user->processId || window.caption == kDialogCaption) {
                continue;
            }
            const MessageBoxInfo box = op.ReadMessageBox(window.hwnd);
            if (box && box.HasButton(IDOK)) {
                op.Answer(box, IDOK);
            } else if (box && box.HasButton(IDNO)) {
                op.Answer(box, IDNO);
            } else {
                PostMessageW(window.hwnd, WM_COMMAND, IDCANCEL, 0);
            }
        }
        Sleep(50);
    }
    return 0;
}

} // namespace kdm_test
