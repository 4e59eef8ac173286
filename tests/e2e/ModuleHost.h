// The host side of the end-to-end tests: the real module loaded as an installer loads it, its
// exports as a DialogRun calls them (on a dialog thread of their own, with an owner window), and a
// user who abandons whatever a run asks.
#ifndef KDM_TESTS_E2E_MODULEHOST_H
#define KDM_TESTS_E2E_MODULEHOST_H

#include <windows.h>

#include <atomic>
#include <string>

#include "tests/support/DialogRun.h"

namespace kdm_test {

extern const char kDownloadFileName[];
extern const char kDownloadFileForInstallerName[];
extern const wchar_t kDialogCaption[];

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

// A build of the module, loaded for the lifetime of the object.
class LoadedModule {
public:
    explicit LoadedModule(const std::wstring& path = ModulePath());
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    HMODULE Get() const { return module; }
    DownloadFileExport DownloadFile() const { return downloadFile; }
    DownloadFileForInstallerExport DownloadFileForInstaller() const { return forInstaller; }
    // What a DialogRun calls as an installer would: DownloadFile with osVersion null, else
    // DownloadFileForInstaller with that code (used, not copied).
    DialogRun::EntryCall ExportCall(const wchar_t* osVersion = nullptr) const;

private:
    HMODULE module;
    DownloadFileExport downloadFile;
    DownloadFileForInstallerExport forInstaller;
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
    bool Started() const { return process != nullptr; }
    DWORD StartError() const { return startError; }
    DWORD Id() const { return id; }
    // Waits for the process to end; false when it did not within timeoutMs, a time at native
    // speed that is stretched here by ScaledMs (tests/support/WaitUntil.h). exitCode gets its exit
    // code.
    bool WaitForExit(DWORD timeoutMs, DWORD& exitCode);

private:
    HANDLE process = nullptr;
    DWORD id = 0;
    DWORD startError = 0;
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

    std::atomic<bool> stop{false};
    DWORD processId;
    HANDLE thread = nullptr;
};

} // namespace kdm_test

#endif
