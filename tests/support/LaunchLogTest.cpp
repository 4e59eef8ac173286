// Runs the recording handler as the shell would and reads what it logged.

#include "tests/support/LaunchLog.h"

#include <shellapi.h>

#include <algorithm>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TextUtil.h"
#include "tests/support/Win32Holders.h"
#include "tests/support/WaitUntil.h"

namespace kdm_test {
namespace {

// The build passes the handler's Unix path; Wine's drive Z: is the Unix root.
std::wstring HandlerPath()
{
    std::wstring path = L"Z:" + FromUtf8(KDM_RECORDING_HANDLER_PATH);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

// Starts the handler with `arguments` appended to its quoted path; returns its exit code, or -1.
long RunHandler(const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + HandlerPath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW " << ToUtf8(commandLine) << ": "
                      << Win32ErrorText(GetLastError());
        return -1;
    }
    HandleHolder thread(process.hThread);
    HandleHolder handle(process.hProcess);
    if (WaitForSingleObject(handle.Get(), kdm_test::ScaledMs(10000)) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the handler did not end";
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(handle.Get(), &code);
    return static_cast<long>(code);
}

class LaunchLogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(log.Arm()) << log.LastError(); }
    void TearDown() override
    {
        log.Disarm();
        DeleteFileW(log.Path().c_str());
    }

    LaunchLog log = LaunchLog::InTempFolder(L"kdm-launch-selftest.log");
};

TEST_F(LaunchLogTest, LogsEachFullCommandLineInUtf8AndSplitsItAsTheHandlerSawIt)
{
    const std::wstring package =
        L"C:\\users\\Public\\Downloads\\Kestrune Setup \x00e9\x2013 (2).msi";
    EXPECT_EQ(0, RunHandler(L"\"" + package + L"\""));
    EXPECT_EQ(0, RunHandler(L"\"http://127.0.0.2/?a=1&b=2\""));
    ASSERT_TRUE(log.WaitForLines(2, 5000)) << log.Describe();

    const std::vector<std::wstring> lines = log.Lines();
    ASSERT_EQ(2u, lines.size()) << log.Describe();
    EXPECT_EQ(L"\"" + HandlerPath() + L"\" \"" + package + L"\"", lines[0]);
    const std::vector<std::wstring> arguments = LaunchLog::SplitCommandLine(lines[0]);
    ASSERT_EQ(2u, arguments.size());
    EXPECT_EQ(HandlerPath(), arguments[0]);
    EXPECT_EQ(package, arguments[1]);
    EXPECT_EQ(L"http://127.0.0.2/?a=1&b=2", LaunchLog::SplitCommandLine(lines[1]).at(1));
}

TEST_F(LaunchLogTest, ArmingStartsAnEmptyLogAndAHandlerWithoutTheVariableFails)
{
    EXPECT_EQ(0, RunHandler(L"first"));
    ASSERT_TRUE(log.WaitForLines(1, 5000));
    ASSERT_TRUE(log.Arm());
    EXPECT_TRUE(log.Lines().empty());

    log.Disarm();
    EXPECT_EQ(1, RunHandler(L"unlogged"));
    EXPECT_FALSE(log.WaitForLines(1, 300)) << log.Describe();
}

// Needs the prefix prepared by the test set-up, which registers the handler for .msi and http.
TEST_F(LaunchLogTest, TheShellReachesTheRegisteredHandlerForAPackageAndAWebAddress)
{
    wchar_t command[1024] = {};
    LONG size = sizeof(command);
    if (RegQueryValueW(HKEY_CLASSES_ROOT, L"Msi.Package\\shell\\Open\\command", command, &size) !=
            ERROR_SUCCESS ||
        std::wstring(command).find(L"recording_handler.exe") == std::wstring::npos) {
        GTEST_SKIP() << "the recording handler is not registered in this prefix";
    }
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, folder);
    const std::wstring package = std::wstring(folder) + L"Kestrune launch test.msi";
    {
        HandleHolder file(
            CreateFileW(package.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_FALSE(file.IsEmpty()) << Win32ErrorText(GetLastError());
    }
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"open";
    execute.lpFile = package.c_str();
    execute.nShow = SW_SHOWNORMAL;
    ASSERT_TRUE(ShellExecuteExW(&execute)) << Win32ErrorText(GetLastError());
    ASSERT_TRUE(log.WaitForLines(1, 5000)) << log.Describe();
    EXPECT_LT(32, static_cast<int>(reinterpret_cast<INT_PTR>(ShellExecuteW(
                      nullptr, L"open", L"http://127.0.0.2/", nullptr, nullptr, SW_SHOWNORMAL))));
    ASSERT_TRUE(log.WaitForLines(2, 5000)) << log.Describe();

    std::vector<std::wstring> launched;
    for (const std::wstring& line : log.Lines()) {
        launched.push_back(LaunchLog::SplitCommandLine(line).at(1));
    }
    EXPECT_NE(launched.end(), std::find(launched.begin(), launched.end(), package))
        << log.Describe();
    EXPECT_NE(launched.end(), std::find(launched.begin(), launched.end(), L"http://127.0.0.2/"))
        << log.Describe();
    DeleteFileW(package.c_str());
}

} // namespace
} // namespace kdm_test
