// The host side of the end-to-end tests: the real module loaded as an installer loads it, its
// exports called on a dialog thread of their own with an owner window, and a user who abandons
// whatever a run asks.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace kdm_test {

extern const char downloadFileName[];
extern const char downloadFileForInstallerName[];
extern const wchar_t dialogCaption[];

typedef int(WINAPI* DownloadFileExport)(HWND);
typedef int(WINAPI* DownloadFileForInstallerExport)(HWND, const wchar_t*);

// The loopback build of the module (download address http://127.0.0.1).
std::wstring ModulePath();
std::wstring ProgramPath();
// The loopback program built to start as on a system without SetDefaultDllDirectories.
std::wstring SearchFallbackProgramPath();
// The build whose download address does not resolve (http://unreachable.invalid).
std::wstring UnreachableModulePath();
// The loopback build as make release signs the shipped one, with the throwaway certificate.
std::wstring SignedModulePath();
std::wstring SignedProgramPath();
// The build that downloads over HTTPS (https://127.0.0.77).
std::wstring HttpsModulePath();

// GetProcAddress's result as the export's own type (through the generic function pointer type).
template <typename Function> Function ExportOf(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A build of the module, loaded for the lifetime of the object.
class LoadedModule {
public:
    explicit LoadedModule(const std::wstring& path = ModulePath());
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    HMODULE Get() const { return module_; }
    DownloadFileExport DownloadFile() const { return downloadFile_; }
    DownloadFileForInstallerExport DownloadFileForInstaller() const { return forInstaller_; }

private:
    HMODULE module_;
    DownloadFileExport downloadFile_;
    DownloadFileForInstallerExport forInstaller_;
};

// One call of an export on a thread of its own, with an owner window made on that thread as an
// installer's window would be. With osVersion null DownloadFile is called, else
// DownloadFileForInstaller.
class ExportRun {
public:
    ExportRun(const LoadedModule& module, const wchar_t* osVersion = nullptr);
    ~ExportRun();
    ExportRun(const ExportRun&) = delete;
    ExportRun& operator=(const ExportRun&) = delete;

    HWND Owner() const { return owner_; }
    // Waits for the export to return; false when it did not within timeoutMs.
    bool Finish(DWORD timeoutMs);
    int Result() const { return result_; }
    bool QuitMessageSeen() const { return quitSeen_; }

private:
    static DWORD WINAPI ThreadProc(void* parameter);

    const LoadedModule& module_;
    const wchar_t* osVersion_;
    HANDLE ready_;
    HANDLE thread_ = nullptr;
    HWND owner_ = nullptr;
    int result_ = -100;
    bool quitSeen_ = false;
};

// A program started as a process, by default the loopback program (its command line: the
// program's path and `arguments`). Ended by force when it still runs as the object goes.
class ProgramProcess {
public:
    explicit ProgramProcess(const std::wstring& arguments = std::wstring(),
                            const std::wstring& program = ProgramPath());
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    // False when CreateProcessW failed; StartError() tells why.
    bool Started() const { return process_ != nullptr; }
    DWORD StartError() const { return startError_; }
    DWORD Id() const { return id_; }
    // Waits for the process to end; false on time-out. exitCode gets its exit code.
    bool WaitForExit(DWORD timeoutMs, DWORD& exitCode);

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    DWORD startError_ = 0;
};

// Plays a user who abandons a run wherever it asks something: the Save As dialog is cancelled,
// a message box answered with OK or No. Watches the dialogs of one process other than the
// download dialog itself.
class AbandoningUser {
public:
    explicit AbandoningUser(DWORD processId = GetCurrentProcessId());
    ~AbandoningUser();
    AbandoningUser(const AbandoningUser&) = delete;
    AbandoningUser& operator=(const AbandoningUser&) = delete;

private:
    static DWORD WINAPI Run(void* parameter);

    std::atomic<bool> stop_{false};
    DWORD processId_;
    HANDLE thread_ = nullptr;
};

} // namespace kdm_test
