// Stands in for the programs that open an .msi package or a web address in the test prefix:
// appends its full command line, in UTF-8 and ended by CRLF, to the file that KDM_LAUNCH_LOG
// names, and exits. Exit code 0 when the line was written, 1 otherwise.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "tests/support/LaunchLog.h"

namespace {

bool AppendCommandLine()
{
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD length = GetEnvironmentVariableW(kdm_test::kLaunchLogVariable, path, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) {
        return false;
    }
    const std::wstring commandLine = GetCommandLineW();
    std::string line;
    if (!commandLine.empty()) {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, commandLine.data(),
                                static_cast<int>(commandLine.size()), nullptr, 0, nullptr, nullptr);
        line.resize(static_cast<std::size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, commandLine.data(), static_cast<int>(commandLine.size()),
                            &line[0], size, nullptr, nullptr);
    }
    line += "\r\n";
    // Appending (FILE_APPEND_DATA) makes each WriteFile land whole at the end even when two
    // handlers run at once.
    const HANDLE file =
        CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == line.size();
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    try {
        return AppendCommandLine() ? 0 : 1;
    } catch (...) {
        return 1;
    }
}
