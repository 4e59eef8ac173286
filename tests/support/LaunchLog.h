// The log that recording_handler.exe writes: one line per launch, the handler's full command line
// in UTF-8. The handler finds the log through the environment variable below, which it inherits
// from the process that launched it (the test process, through ShellExecuteExW).
#ifndef KDM_TESTS_SUPPORT_LAUNCHLOG_H
#define KDM_TESTS_SUPPORT_LAUNCHLOG_H

#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kdm_test {

const wchar_t kLaunchLogVariable[] = L"KDM_LAUNCH_LOG";

class LaunchLog {
public:
    // `path` is a Windows path; the log is not touched until Arm.
    explicit LaunchLog(const std::wstring& path);
    // A log named `name` in this process's temporary folder.
    static LaunchLog InTempFolder(const std::wstring& name);

    // Deletes an earlier log and sets KDM_LAUNCH_LOG in this process's environment, so that every
    // process started afterwards logs here. False with LastError() set on failure.
    bool Arm();
    // Removes KDM_LAUNCH_LOG from this process's environment (the log file stays).
    void Disarm();

    // The lines logged so far (decoded from UTF-8, line ends removed); empty when there is no log.
    std::vector<std::wstring> Lines() const;
    // Waits until at least `count` lines were logged; false on time-out.
    bool WaitForLines(std::size_t count, DWORD timeoutMs) const;

    const std::wstring& Path() const { return path; }
    const std::string& LastError() const { return lastError; }
    // The log's path and lines, for failure messages.
    std::string Describe() const;

    // Splits a logged command line as the launched program would see its arguments
    // (CommandLineToArgvW); element 0 is the handler's own path.
    static std::vector<std::wstring> SplitCommandLine(const std::wstring& line);

private:
    std::wstring path;
    std::string lastError;
};

} // namespace kdm_test

#endif
