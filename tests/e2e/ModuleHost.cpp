#include "tests/e2e/ModuleHost.h"

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
      downloadFile_(ExportOf<DownloadFileExport>(module_, downloadFileName)),
      forInstaller_(ExportOf<DownloadFileForInstallerExport>(module_, downloadFileForInstallerName))
{
}

LoadedModule::~LoadedModule()
{
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

ExportRun::ExportRun(const LoadedModule& module, const wchar_t* osVersion)
    : module_(module), osVersion_(osVersion), ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    // Started only once every member is initialised: the thread writes to them.
    thread_ = CreateThread(nullptr, 0, &ExportRun::ThreadProc, this, 0, nullptr);
    WaitForSingleObject(ready_, 10000);
}

ExportRun::~ExportRun()
{
    Finish(60000);
    CloseHandle(thread_);
    CloseHandle(ready_);
}

bool ExportRun::Finish(DWORD timeoutMs)
{
    return WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI ExportRun::ThreadProc(void* parameter)
{
    ExportRun* run = static_cast<ExportRun*>(parameter);
    run->owner_ = CreateWindowExW(0, L"STATIC", L"Installer", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                                  60, 900, 600, nullptr, nullptr, nullptr, nullptr);
    SetEvent(run->ready_);
    if (run->osVersion_ == nullptr) {
        run->result_ = run->module_.DownloadFile()(run->owner_);
    } else {
        run->result_ = run->module_.DownloadFileForInstaller()(run->owner_, run->osVersion_);
    }
    MSG message{};
    run->quitSeen_ = PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    DestroyWindow(run->owner_);
    return 0;
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
