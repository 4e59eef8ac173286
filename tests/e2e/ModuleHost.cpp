#include "tests/e2e/ModuleHost.h"

#include "foundation/SystemLibraries.h"
#include "tests/support/BuiltModule.h"
#include "tests/support/Operator.h"

namespace kdm_test {

const char downloadFileName[] = "?DownloadFile@@YGHQAUHWND__@@@Z";
const char downloadFileForInstallerName[] = "?DownloadFileForInstaller@@YGHQAUHWND__@@PB_W@Z";
const wchar_t dialogCaption[] = L"Kestrune Download Manager";

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
    : module_(LoadLibraryW(path.c_str())),
      downloadFile_(GetProcAddressAs<DownloadFileExport>(module_, downloadFileName)),
      forInstaller_(
          GetProcAddressAs<DownloadFileForInstallerExport>(module_, downloadFileForInstallerName))
{
}

LoadedModule::~LoadedModule()
{
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

DialogRun::EntryCall LoadedModule::ExportCall(const wchar_t* osVersion) const
{
    if (osVersion == nullptr) {
        return downloadFile_;
    }
    const DownloadFileForInstallerExport forInstaller = forInstaller_;
    return [forInstaller, osVersion](HWND owner) { return forInstaller(owner, osVersion); };
}

ProgramProcess::ProgramProcess(const std::wstring& arguments, const std::wstring& program)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        startError_ = GetLastError();
        return;
    }
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    id_ = process.dwProcessId;
}

ProgramProcess::~ProgramProcess()
{
    if (process_ == nullptr) {
        return;
    }
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 1);
    }
    CloseHandle(process_);
}

bool ProgramProcess::WaitForExit(DWORD timeoutMs, DWORD& exitCode)
{
    exitCode = STILL_ACTIVE;
    if (process_ == nullptr || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    GetExitCodeProcess(process_, &exitCode);
    return true;
}

AbandoningUser::AbandoningUser(DWORD processId) : processId_(processId)
{
    thread_ = CreateThread(nullptr, 0, &AbandoningUser::Run, this, 0, nullptr);
}

AbandoningUser::~AbandoningUser()
{
    stop_ = true;
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
}

DWORD WINAPI AbandoningUser::Run(void* parameter)
{
    AbandoningUser* user = static_cast<AbandoningUser*>(parameter);
    Operator op(100);
    while (!user->stop_) {
        for (const WindowInfo& window : TopLevelWindows()) {
            if (!window.visible || window.className != L"#32770" ||
                window.processId != user->processId_ || window.caption == dialogCaption) {
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
