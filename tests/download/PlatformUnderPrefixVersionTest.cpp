// SelectPlatform under the real GetVersionExW, for Windows versions set in the test prefix. The
// version is set for platform_probe.exe alone (Wine's per-program setting under
// HKCU\Software\Wine\AppDefaults), so the rest of the suite keeps the prefix's version even if
// this test dies half-way; the setting is removed at the end all the same.
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/support/TextUtil.h"
#include "tests/support/WaitUntil.h"

namespace {

const wchar_t kProbe[] = L"platform_probe.exe";
const wchar_t kProbeSettings[] = L"Software\\Wine\\AppDefaults\\platform_probe.exe";

std::wstring BesideThisProgram(const std::wstring& name)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.rfind(L'\\') + 1) + name;
}

class PlatformUnderPrefixVersionTest : public ::testing::Test {
protected:
    void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, kProbeSettings); }

    // Sets the Windows version Wine reports to the probe ("win7", "winxp", ...).
    static bool SetProbeVersion(const std::wstring& version)
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kProbeSettings, 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const LONG result = RegSetValueExW(
            key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
            static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        return result == ERROR_SUCCESS;
    }

    // The probe's line, or a text starting with "probe:" that says what went wrong.
    static std::string RunProbe()
    {
        const std::wstring output = BesideThisProgram(L"platform_probe.out");
        DeleteFileW(output.c_str());
        std::wstring commandLine = L"\"" + BesideThisProgram(kProbe) + L"\" \"" + output + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process)) {
            return "probe: not started, " + kdm_test::Win32ErrorText(GetLastError());
        }
        CloseHandle(process.hThread);
        const DWORD waited = WaitForSingleObject(process.hProcess, kdm_test::ScaledMs(30000));
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        if (waited != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
        }
        CloseHandle(process.hProcess);
        if (waited != WAIT_OBJECT_0 || exitCode != 0) {
            return "probe: did not end well, exit code " + std::to_string(exitCode);
        }
        std::ifstream file(kdm_test::ToUtf8(output).c_str());
        std::stringstream line;
        line << file.rdbuf();
        file.close();
        DeleteFileW(output.c_str());
        return line.str();
    }
};

TEST_F(PlatformUnderPrefixVersionTest, RefusesOldSystemsAndNamesTheOthers)
{
    // The probe carries the program's manifest, which names Vista to 8.1: Windows 10 reports 6.3.
    const struct {
        const wchar_t* version;
        const char* expected;
    } cases[] = {
        {L"win2k", "refused 1 5.0 SP4"},
        {L"winxp", "XP 5.1 SP3"},
        {L"win2003", "refused 1 5.2 SP2"},
        {L"vista", "Vista 6.0 SP2"},
        {L"win7", "7 6.1 SP1"},
        {L"win8", "8 6.2 SP0"},
        {L"win10", "8 6.3 SP0"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetProbeVersion(c.version));
        EXPECT_EQ(RunProbe(), c.expected) << kdm_test::ToUtf8(c.version);
    }
}

} // namespace
