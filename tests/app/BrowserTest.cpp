// Opening the product web site: the user's Start-menu browser from the registry, or the shell's
// handler for http addresses. The test prefix registers the recording handler for http; a copy of
// it under another name stands in for the user's browser. The test owns the registry keys it
// touches and puts them back as they were.
#include <windows.h>

#include <shlwapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/Browser.h"
#include "app/DialogIds.h"
#include "app/EntryPoints.h"
#include "tests/app/ScriptedStart.h"
#include "tests/support/DialogRun.h"
#include "tests/support/LaunchLog.h"
#include "tests/support/Operator.h"
#include "tests/support/TextUtil.h"

namespace kdm_test {
namespace {

const wchar_t kClientsPath[] = L"Software\\Clients";
const wchar_t kStartMenuPath[] = L"Software\\Clients\\StartMenuInternet";
const wchar_t kTestBrowser[] = L"KdmTestBrowser";
const wchar_t kMissingBrowser[] = L"KdmMissingBrowser";

// The build passes the handler's Unix path; Wine's drive Z: is the Unix root.
std::wstring HandlerPath()
{
    std::wstring path = L"Z:" + FromUtf8(KDM_RECORDING_HANDLER_PATH);
    for (wchar_t& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

bool SamePath(const std::wstring& left, const std::wstring& right)
{
    return lstrcmpiW(left.c_str(), right.c_str()) == 0;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The key's default value as text; false when the key or the value is missing.
bool ReadDefault(HKEY root, const std::wstring& path, std::wstring& value)
{
    wchar_t text[512] = {};
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    DWORD type = 0;
    if (SHGetValueW(root, path.c_str(), nullptr, &type, text, &bytes) != ERROR_SUCCESS)
        return false;
    value = text;
    return true;
}

// Creates the key when missing.
void WriteDefault(HKEY root, const std::wstring& path, const std::wstring& value)
{
    const DWORD status = SHSetValueW(root, path.c_str(), nullptr, REG_SZ, value.c_str(),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ASSERT_EQ(status, static_cast<DWORD>(ERROR_SUCCESS)) << Win32ErrorText(status);
}

class OpenInBrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        machineStartMenuExisted = KeyExists(HKEY_LOCAL_MACHINE, kStartMenuPath);
        clientsExisted = KeyExists(HKEY_CURRENT_USER, kClientsPath);
        startMenuExisted = KeyExists(HKEY_CURRENT_USER, kStartMenuPath);
        hadBrowser = ReadDefault(HKEY_CURRENT_USER, kStartMenuPath, savedBrowser);
        SHDeleteKeyW(HKEY_CURRENT_USER, kStartMenuPath);

        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        browserFolder = std::wstring(temp) + L"kdm browser test";
        browserPath = browserFolder + L"\\Kdm Browser.exe";
        CreateDirectoryW(browserFolder.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(HandlerPath().c_str(), browserPath.c_str(), FALSE))
            << ToUtf8(HandlerPath()) << ": " << Win32ErrorText(GetLastError());
        ASSERT_TRUE(log.Arm()) << log.LastError();
    }

    void TearDown() override
    {
        log.Disarm();
        DeleteFileW(log.Path().c_str());
        DeleteFileW(browserPath.c_str());
        RemoveDirectoryW(browserFolder.c_str());
        if (machineStartMenuExisted) {
            for (const wchar_t* name : {kTestBrowser, kMissingBrowser}) {
                SHDeleteKeyW(HKEY_LOCAL_MACHINE,
                             (std::wstring(kStartMenuPath) + L"\\" + name).c_str());
            }
        } else {
            SHDeleteKeyW(HKEY_LOCAL_MACHINE, kStartMenuPath);
        }
        if (!clientsExisted) {
            SHDeleteKeyW(HKEY_CURRENT_USER, kClientsPath);
        } else if (!startMenuExisted) {
            SHDeleteKeyW(HKEY_CURRENT_USER, kStartMenuPath);
        } else {
            SHDeleteKeyW(HKEY_CURRENT_USER, kStartMenuPath);
            HKEY key = nullptr;
            RegCreateKeyExW(HKEY_CURRENT_USER, kStartMenuPath, 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr);
            if (key != nullptr)
                RegCloseKey(key);
            if (hadBrowser)
                WriteDefault(HKEY_CURRENT_USER, kStartMenuPath, savedBrowser);
        }
    }

    // The one program started since the log was armed, as its arguments.
    std::vector<std::wstring> LaunchedArguments()
    {
        if (!log.WaitForLines(1, 10000)) {
            ADD_FAILURE() << "nothing was started: " << log.Describe();
            return {};
        }
        Sleep(200);
        const std::vector<std::wstring> lines = log.Lines();
        EXPECT_EQ(lines.size(), 1u) << log.Describe();
        return LaunchLog::SplitCommandLine(lines[0]);
    }

    LaunchLog log = LaunchLog::InTempFolder(L"kdm-browser-test.log");
    std::wstring browserFolder;
    std::wstring browserPath;

private:
    bool machineStartMenuExisted = false;
    bool clientsExisted = false;
    bool startMenuExisted = false;
    bool hadBrowser = false;
    std::wstring savedBrowser;
};

// Windows' ShellExecuteW fails on a file name that holds a command's arguments; Wine's splits
// it into a program and its arguments and starts the program.
bool RunningOnWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST_F(OpenInBrowserTest, StartsTheRegisteredBrowserOrLeavesTheAddressToTheShell)
{
    enum class Started { Browser, ShellHandler, BrowserWithCommandArguments };
    const Started argumentsCase =
        RunningOnWine() ? Started::BrowserWithCommandArguments : Started::ShellHandler;
    const struct {
        const char* what;
        const wchar_t* userBrowser;   // null: no per-user key at all
        const wchar_t* commandBefore; // around the browser's path; null: no machine key
        const wchar_t* commandAfter;
        Started started;
    } cases[] = {
        {"no per-user key", nullptr, nullptr, nullptr, Started::ShellHandler},
        {"quoted program path", kTestBrowser, L"\"", L"\"", Started::Browser},
        {"program path in doubled quotes", kTestBrowser, L"\"\"", L"\"\"", Started::Browser},
        {"arguments after the path", kTestBrowser, L"\"", L"\" -osint -url \"%1\"", argumentsCase},
        {"browser not registered for the machine", kMissingBrowser, nullptr, nullptr,
         Started::ShellHandler},
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SHDeleteKeyW(HKEY_CURRENT_USER, kStartMenuPath);
        if (c.userBrowser != nullptr)
            WriteDefault(HKEY_CURRENT_USER, kStartMenuPath, c.userBrowser);
        if (c.commandBefore != nullptr) {
            WriteDefault(HKEY_LOCAL_MACHINE,
                         std::wstring(kStartMenuPath) + L"\\" + kTestBrowser +
                             L"\\shell\\open\\command",
                         c.commandBefore + browserPath + c.commandAfter);
        }
        ASSERT_TRUE(log.Arm()) << log.LastError();
        const std::wstring address = L"http://127.0.0.2/kdm?run=" + std::to_wstring(++run);

        const HINSTANCE result = OpenInBrowser(nullptr, MStringEx<wchar_t>(L"open"),
                                               MStringEx<wchar_t>(address.c_str()), SW_SHOWNORMAL);
        EXPECT_GT(reinterpret_cast<INT_PTR>(result), 32);
        std::vector<std::wstring> expected;
        switch (c.started) {
        case Started::Browser:
            expected = {browserPath, address};
            break;
        case Started::ShellHandler:
            expected = {HandlerPath(), address};
            break;
        case Started::BrowserWithCommandArguments:
            expected = {browserPath, L"-osint", L"-url", L"%1", address};
            break;
        }
        const std::vector<std::wstring> arguments = LaunchedArguments();
        ASSERT_EQ(arguments.size(), expected.size()) << log.Describe();
        EXPECT_TRUE(SamePath(arguments[0], expected[0])) << log.Describe();
        for (std::size_t i = 1; i < expected.size(); ++i) {
            EXPECT_EQ(arguments[i], expected[i]) << log.Describe();
        }
        // The per-user key is opened for reading but created when missing.
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kStartMenuPath));
        std::wstring value;
        EXPECT_EQ(ReadDefault(HKEY_CURRENT_USER, kStartMenuPath, value), c.userBrowser != nullptr)
            << ToUtf8(value);
        SHDeleteKeyW(HKEY_LOCAL_MACHINE,
                     (std::wstring(kStartMenuPath) + L"\\" + kTestBrowser).c_str());
    }
}

TEST_F(OpenInBrowserTest, GoToWebsiteOpensTheProductWebSite)
{
    startScript = StartScript();
    DialogRun run(DownloadFile);
    Operator op;
    const FoundWindow dialog = op.WaitForDialog(L"Kestrune Download Manager", run.Owner());
    ASSERT_TRUE(dialog) << dialog.message;
    ASSERT_TRUE(op.PressButton(dialog.hwnd, IDC_GO_TO_WEBSITE));
    const std::vector<std::wstring> arguments = LaunchedArguments();
    EXPECT_TRUE(IsWindowVisible(dialog.hwnd)) << "the dialog stays open";
    PostMessageW(dialog.hwnd, WM_DOWNLOAD_DONE, 0, 0);
    ASSERT_TRUE(run.Finish(10000));
    ASSERT_EQ(arguments.size(), 2u) << log.Describe();
    EXPECT_EQ(arguments[1].rfind(L"http://127.0.0.2", 0), 0u) << ToUtf8(arguments[1]);
}

} // namespace
} // namespace kdm_test
