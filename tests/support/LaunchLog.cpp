#include "tests/support/LaunchLog.h"

#include <shellapi.h>

#include "tests/support/TextUtil.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/Win32Holders.h"

namespace kdm_test {

LaunchLog::LaunchLog(const std::wstring& path) : path(path) {}

LaunchLog LaunchLog::InTempFolder(const std::wstring& name)
{
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    std::wstring path(folder, length <= MAX_PATH ? length : 0);
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    return LaunchLog(path + name);
}

bool LaunchLog::Arm()
{
    if (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            lastError =
                "cannot delete the old launch log " + ToUtf8(path) + ": " + Win32ErrorText(error);
            return false;
        }
    }
    if (!SetEnvironmentVariableW(kLaunchLogVariable, path.c_str())) {
        lastError = "SetEnvironmentVariableW failed: " + Win32ErrorText(GetLastError());
        return false;
    }
    lastError.clear();
    return true;
}

void LaunchLog::Disarm()
{
    SetEnvironmentVariableW(kLaunchLogVariable, nullptr);
}

std::vector<std::wstring> LaunchLog::Lines() const
{
    std::vector<std::wstring> lines;
    HandleHolder file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.IsEmpty()) {
        return lines;
    }
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read != 0) {
        content.append(buffer, read);
    }
    // Only complete lines count: a handler may be writing the last one right now.
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            break;
        }
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(FromUtf8(line));
        start = end + 1;
    }
    return lines;
}

bool LaunchLog::WaitForLines(std::size_t count, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Lines().size() >= count; }, timeoutMs);
}

std::string LaunchLog::Describe() const
{
    const std::vector<std::wstring> lines = Lines();
    std::string text =
        "launch log " + ToUtf8(path) + ": " + std::to_string(lines.size()) + " line(s)\n";
    for (const std::wstring& line : lines) {
        text += "  " + ToUtf8(line) + "\n";
    }
    return text;
}

std::vector<std::wstring> LaunchLog::SplitCommandLine(const std::wstring& line)
{
    std::vector<std::wstring> arguments;
    int count = 0;
    wchar_t** list = CommandLineToArgvW(line.c_str(), &count);
    if (list == nullptr) {
        return arguments;
    }
    for (int i = 0; i < count; ++i) {
        arguments.push_back(list[i]);
    }
    LocalFree(list);
    return arguments;
}

} // namespace kdm_test
