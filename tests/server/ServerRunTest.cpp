// Whole runs of the real module against the reference nginx, configured from a package catalog
// by generate_site.py. run_nginx_e2e.sh starts the servers for each group and passes the
// packages folder in KDM_SERVER_PACKAGES (Windows path):
//   ServedPackage*         the sample catalog on 127.0.0.1:80: every combination of Kestrune 2
//                          is published, by one server or by a selector that redirects to an
//                          origin;
//   UnknownCombination*    the sample catalog without "Kestrune 2 7 32";
//   HttpsSite*             the sample catalog over HTTPS on 127.0.0.77:443, with a certificate
//                          whose authority the prefix trusts (the https build of the module);
//   UntrustedCertificate*  the same server with a certificate of an authority it does not.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/ModuleHost.h"
#include "tests/support/LaunchLog.h"
#include "tests/support/Operator.h"
#include "tests/support/TextUtil.h"

namespace kdm_test {
namespace {

const wchar_t kSaveAsCaption[] =
    L"Kestrune Download Manager - Please select convenient download folder and filename";
const wchar_t kInstallerNotice[] = L"The download of the latest software installation package";

std::wstring PackagesFolder()
{
    wchar_t folder[MAX_PATH * 2] = {};
    const DWORD length = GetEnvironmentVariableW(L"KDM_SERVER_PACKAGES", folder, MAX_PATH * 2);
    return (length == 0 || length >= MAX_PATH * 2) ? std::wstring() : std::wstring(folder);
}

class ServerRun : public ::testing::Test {
protected:
    explicit ServerRun(const std::wstring& modulePath = ModulePath()) : module(modulePath) {}

    void SetUp() override
    {
        packages = PackagesFolder();
        ASSERT_FALSE(packages.empty())
            << "KDM_SERVER_PACKAGES is not set: run this program through run_nginx_e2e.sh";
        ASSERT_NE(module.Get(), nullptr);
        ASSERT_TRUE(log.Arm()) << log.LastError();
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        target = std::wstring(folder) + L"kdm-server-e2e.msi";
        DeleteFileW(target.c_str());
    }
    void TearDown() override
    {
        log.Disarm();
        DeleteFileW(target.c_str());
    }

    // Accepts the Save As dialog over the download dialog with target as the name; returns the
    // download dialog, or null (with a failure recorded) when a window did not come.
    HWND SaveAsTarget(HWND owner)
    {
        const FoundWindow dialog =
            op.WaitForWindow(WindowQuery::DialogWithCaption(kDialogCaption).OwnedBy(owner));
        EXPECT_TRUE(dialog) << dialog.message;
        if (!dialog) {
            return nullptr;
        }
        const SaveAsInfo saveAs = op.WaitForSaveAs(dialog.hwnd, kSaveAsCaption);
        EXPECT_TRUE(saveAs) << saveAs.message;
        if (!saveAs || !op.SetSaveAsFileName(saveAs, target) || !op.Save(saveAs)) {
            ADD_FAILURE() << "could not save as " << ToUtf8(target);
            return nullptr;
        }
        return dialog.hwnd;
    }

    // One run of the export that receives `package`, verifies it and launches it. With osVersion
    // null DownloadFile is called, else DownloadFileForInstaller with that code.
    void ExpectVerifiedLaunch(const wchar_t* osVersion, const wchar_t* package)
    {
        const std::string expected = ReadFileBytes(packages + L"\\" + package);
        ASSERT_NE(expected, "<no file>") << ToUtf8(packages) << " has no " << ToUtf8(package);

        DialogRun run(module.ExportCall(osVersion));
        const HWND dialog = SaveAsTarget(run.Owner());
        ASSERT_NE(dialog, nullptr);
        if (osVersion != nullptr) {
            // A run started by an installer tells the user before the installer takes over; a
            // question here instead would mean the hash code did not verify.
            const MessageBoxInfo notice = op.WaitForMessageBox(dialog);
            ASSERT_TRUE(notice) << notice.message;
            EXPECT_EQ(notice.text.rfind(kInstallerNotice, 0), 0u) << notice.Describe();
            ASSERT_TRUE(op.Answer(notice, IDOK)) << notice.Describe();
        }
        ASSERT_TRUE(run.Finish(60000)) << "the run did not end; windows:\n"
                                       << DescribeTopLevelWindows();
        EXPECT_EQ(run.Result(), 1);

        const std::string received = ReadFileBytes(target);
        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << "the saved file is not " << ToUtf8(package);
        ASSERT_TRUE(log.WaitForLines(1, 10000)) << log.Describe();
        const std::vector<std::wstring> arguments = LaunchLog::SplitCommandLine(log.Lines()[0]);
        ASSERT_EQ(arguments.size(), 2u) << log.Describe();
        EXPECT_EQ(arguments[1], target);
    }

    // One run of DownloadFile that ends by itself with 0: no question, nothing launched, the
    // target file created by the Save As step and left empty.
    void ExpectQuietEndWithEmptyFile()
    {
        DialogRun run(module.ExportCall());
        const HWND dialog = SaveAsTarget(run.Owner());
        ASSERT_NE(dialog, nullptr);
        // A question would keep the run open: it must end by itself.
        ASSERT_TRUE(run.Finish(60000)) << "the run did not end; windows:\n"
                                       << DescribeTopLevelWindows();
        EXPECT_EQ(run.Result(), 0);
        Sleep(300);
        EXPECT_TRUE(log.Lines().empty()) << log.Describe();
        EXPECT_EQ(ReadFileBytes(target), "") << "something was saved as the package";
    }

    LoadedModule module;
    Operator op{20000};
    LaunchLog log = LaunchLog::InTempFolder(L"kdm-server-e2e-launch.log");
    std::wstring packages;
    std::wstring target;
};

struct ServedCase {
    const wchar_t* osVersion; // null: DownloadFile, else DownloadFileForInstaller's code
    const wchar_t* package;   // what the sample catalog names for it on a 32-bit prefix
};

class ServedPackage : public ServerRun, public ::testing::WithParamInterface<ServedCase> {};

TEST_P(ServedPackage, TheMatchingPackageArrivesVerifiesAndIsLaunched)
{
    ExpectVerifiedLaunch(GetParam().osVersion, GetParam().package);
}

INSTANTIATE_TEST_SUITE_P(SampleCatalog, ServedPackage,
                         ::testing::Values(ServedCase{nullptr, L"Kestrune-2-7-32.msi"},
                                           ServedCase{L"501", L"Kestrune-2-XP-32.msi"},
                                           ServedCase{L"600", L"Kestrune-2-Vista-32.msi"},
                                           ServedCase{L"602", L"Kestrune-2-8-32.msi"}));

using UnknownCombination = ServerRun;

TEST_F(UnknownCombination, EndsWithZeroWithoutQuestionOrLaunch)
{
    ExpectQuietEndWithEmptyFile();
}

class HttpsRun : public ServerRun {
protected:
    HttpsRun() : ServerRun(HttpsModulePath()) {}
};

using HttpsSite = HttpsRun;

TEST_F(HttpsSite, TheMatchingPackageArrivesVerifiesAndIsLaunched)
{
    ExpectVerifiedLaunch(L"601", L"Kestrune-2-7-32.msi");
}

using UntrustedCertificate = HttpsRun;

TEST_F(UntrustedCertificate, EndsWithZeroWithoutQuestionOrLaunch)
{
    ExpectQuietEndWithEmptyFile();
}

} // namespace
} // namespace kdm_test
