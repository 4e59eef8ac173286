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

const wchar_t saveAsCaption[] =
    L"Kestrune Download Manager - Please select convenient download folder and filename";
const wchar_t installerNotice[] = L"The download of the latest software installation package";

std::wstring PackagesFolder()
{
    wchar_t folder[MAX_PATH * 2] = {};
    const DWORD length = GetEnvironmentVariableW(L"KDM_SERVER_PACKAGES", folder, MAX_PATH * 2);
    return (length == 0 || length >= MAX_PATH * 2) ? std::wstring() : std::wstring(folder);
}

class ServerRun : public ::testing::Test {
protected:
    explicit ServerRun(const std::wstring& modulePath = ModulePath()) : module_(modulePath) {}

    void SetUp() override
    {
        packages_ = PackagesFolder();
        ASSERT_FALSE(packages_.empty())
            << "KDM_SERVER_PACKAGES is not set: run this program through run_nginx_e2e.sh";
        ASSERT_NE(module_.Get(), nullptr);
        ASSERT_TRUE(log_.Arm()) << log_.LastError();
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        target_ = std::wstring(folder) + L"kdm-server-e2e.msi";
        DeleteFileW(target_.c_str());
    }
    void TearDown() override
    {
        log_.Disarm();
        DeleteFileW(target_.c_str());
    }

    // Accepts the Save As dialog over the download dialog with target_ as the name; returns the
    // download dialog, or null (with a failure recorded) when a window did not come.
    HWND SaveAsTarget(HWND owner)
    {
        const FoundWindow dialog =
            op_.WaitForWindow(WindowQuery::DialogWithCaption(dialogCaption).OwnedBy(owner));
        EXPECT_TRUE(dialog) << dialog.message;
        if (!dialog) {
            return nullptr;
        }
        const SaveAsInfo saveAs = op_.WaitForSaveAs(dialog.hwnd, saveAsCaption);
        EXPECT_TRUE(saveAs) << saveAs.message;
        if (!saveAs || !op_.SetSaveAsFileName(saveAs, target_) || !op_.Save(saveAs)) {
            ADD_FAILURE() << "could not save as " << ToUtf8(target_);
            return nullptr;
        }
        return dialog.hwnd;
    }

    // One run of the export that receives `package`, verifies it and launches it. With osVersion
    // null DownloadFile is called, else DownloadFileForInstaller with that code.
    void ExpectVerifiedLaunch(const wchar_t* osVersion, const wchar_t* package)
    {
        const std::string expected = ReadFileBytes(packages_ + L"\\" + package);
        ASSERT_NE(expected, "<no file>") << ToUtf8(packages_) << " has no " << ToUtf8(package);

        DialogRun run(module_.ExportCall(osVersion));
        const HWND dialog = SaveAsTarget(run.Owner());
        ASSERT_NE(dialog, nullptr);
        if (osVersion != nullptr) {
            // A run started by an installer tells the user before the installer takes over; a
            // question here instead would mean the hash code did not verify.
            const MessageBoxInfo notice = op_.WaitForMessageBox(dialog);
            ASSERT_TRUE(notice) << notice.message;
            EXPECT_EQ(notice.text.rfind(installerNotice, 0), 0u) << notice.Describe();
            ASSERT_TRUE(op_.Answer(notice, IDOK)) << notice.Describe();
        }
        ASSERT_TRUE(run.Finish(60000)) << "the run did not end; windows:\n"
                                       << DescribeTopLevelWindows();
        EXPECT_EQ(run.Result(), 1);

        const std::string received = ReadFileBytes(target_);
        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << "the saved file is not " << ToUtf8(package);
        ASSERT_TRUE(log_.WaitForLines(1, 10000)) << log_.Describe();
        const std::vector<std::wstring> arguments = LaunchLog::SplitCommandLine(log_.Lines()[0]);
        ASSERT_EQ(arguments.size(), 2u) << log_.Describe();
        EXPECT_EQ(arguments[1], target_);
    }

    // One run of DownloadFile that ends by itself with 0: no question, nothing launched, the
    // target file created by the Save As step and left empty.
    void ExpectQuietEndWithEmptyFile()
    {
        DialogRun run(module_.ExportCall());
        const HWND dialog = SaveAsTarget(run.Owner());
        ASSERT_NE(dialog, nullptr);
        // A question would keep the run open: it must end by itself.
        ASSERT_TRUE(run.Finish(60000)) << "the run did not end; windows:\n"
                                       << DescribeTopLevelWindows();
        EXPECT_EQ(run.Result(), 0);
        Sleep(300);
        EXPECT_TRUE(log_.Lines().empty()) << log_.Describe();
        EXPECT_EQ(ReadFileBytes(target_), "") << "something was saved as the package";
    }

    LoadedModule module_;
    Operator op_{20000};
    LaunchLog log_ = LaunchLog::InTempFolder(L"kdm-server-e2e-launch.log");
    std::wstring packages_;
    std::wstring target_;
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
