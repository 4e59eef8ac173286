// Whole runs through the real module's exports and through the real program, against the
// scriptable server on 127.0.0.1:80 (the loopback build's download address), with an operator
// answering the Save As dialog and the questions, and the recording handler standing in for the
// installer.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/ModuleHost.h"
#include "tests/support/LaunchLog.h"
#include "tests/support/Operator.h"
#include "tests/support/TestServer.h"
#include "tests/support/TextUtil.h"

namespace kdm_test {
namespace {

const wchar_t saveAsCaption[] =
    L"Kestrune Download Manager - Please select convenient download folder and filename";
const wchar_t proposedName[] = L"Kestrune 2012 - Setup for Windows 7, 32 bit";
const wchar_t questionCaption[] = L"Download Manager";
const char hashHeader[] = "NORVALIS-DOWNLOAD-HASHCODE";
const std::uint64_t packageSize = 300000;

std::string ReadFileBytes(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<no file>";
    }
    std::string bytes;
    char block[65536];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof(block), &read, nullptr) && read != 0) {
        bytes.append(block, read);
    }
    CloseHandle(file);
    return bytes;
}

class DownloadRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(module_.Get(), nullptr);
        ASSERT_TRUE(log_.Arm()) << log_.LastError();
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        target_ = std::wstring(folder) + L"kdm-e2e-" +
                  ToWide(::testing::UnitTest::GetInstance()->current_test_info()->name()) + L".msi";
        DeleteFileW(target_.c_str());
    }
    void TearDown() override
    {
        server_.Stop();
        log_.Disarm();
        DeleteFileW(target_.c_str());
    }

    static std::wstring ToWide(const std::string& text) { return FromUtf8(text); }

    void StartServer(const Response& response)
    {
        server_.Enqueue(response);
        ASSERT_TRUE(server_.Start("127.0.0.1", 80)) << server_.LastError();
    }

    // Waits for the download dialog and the Save As dialog over it, and saves as target_.
    HWND SaveAsTarget(HWND owner, DWORD processId = 0)
    {
        WindowQuery query = WindowQuery::DialogWithCaption(L"Kestrune Download Manager");
        if (owner != nullptr) {
            query.OwnedBy(owner);
        }
        if (processId != 0) {
            query.InProcess(processId);
        }
        const FoundWindow dialog = op_.WaitForWindow(query);
        EXPECT_TRUE(dialog) << dialog.message;
        if (!dialog) {
            return nullptr;
        }
        const SaveAsInfo saveAs = op_.WaitForSaveAs(dialog.hwnd, saveAsCaption);
        EXPECT_TRUE(saveAs) << saveAs.message;
        if (!saveAs) {
            return nullptr;
        }
        proposed_ = saveAs.fileName;
        EXPECT_TRUE(op_.SetSaveAsFileName(saveAs, target_));
        EXPECT_TRUE(op_.Save(saveAs));
        return dialog.hwnd;
    }

    // Answers the next message box over the dialog and returns what it showed.
    MessageBoxInfo Answer(HWND dialog, int button)
    {
        const MessageBoxInfo box = op_.WaitForMessageBox(dialog);
        EXPECT_TRUE(box) << box.message;
        if (box) {
            EXPECT_TRUE(op_.Answer(box, button)) << box.Describe();
        }
        return box;
    }

    void ExpectLaunchedTarget()
    {
        ASSERT_TRUE(log_.WaitForLines(1, 10000)) << log_.Describe();
        const std::vector<std::wstring> arguments = LaunchLog::SplitCommandLine(log_.Lines()[0]);
        ASSERT_EQ(arguments.size(), 2u) << log_.Describe();
        EXPECT_EQ(arguments[1], target_);
    }

    void ExpectNothingLaunched()
    {
        Sleep(300);
        EXPECT_TRUE(log_.Lines().empty()) << log_.Describe();
    }

    void ExpectWholePackageOnDisk(std::uint64_t size = packageSize)
    {
        const std::string bytes = ReadFileBytes(target_);
        EXPECT_EQ(bytes.size(), size);
        EXPECT_EQ(FirstPatternMismatch(bytes), std::string::npos);
    }

    // A download whose response has no hash code: checks the question, answers it, and returns
    // the export's result.
    int RunWithoutHashCode(int answer)
    {
        StartServer(Response::Ok().GeneratedBody(packageSize));
        ExportRun run(module_);
        const HWND dialog = SaveAsTarget(run.Owner());
        if (dialog == nullptr) {
            return -100;
        }
        const MessageBoxInfo box = Answer(dialog, answer);
        EXPECT_EQ(box.caption, questionCaption);
        EXPECT_EQ(box.text.rfind(L"The installation package was downloaded successfully, however "
                                 L"the web server did not supply",
                                 0),
                  0u)
            << box.Describe();
        EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
        EXPECT_TRUE(run.Finish(60000));
        return run.Result();
    }

    LoadedModule module_;
    TestServer server_;
    Operator op_{20000};
    LaunchLog log_ = LaunchLog::InTempFolder(L"kdm-e2e-launch.log");
    std::wstring target_;
    std::wstring proposed_;
};

TEST_F(DownloadRun, VerifiedPackageIsLaunchedAndTheExportReturnsOne)
{
    StartServer(Response::Ok()
                    .Header(hashHeader, PatternSha1HexUpper(packageSize))
                    .GeneratedBody(packageSize)
                    .Pieces(8192, 0));
    ExportRun run(module_);
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    EXPECT_NE(proposed_.find(proposedName), std::wstring::npos) << ToUtf8(proposed_);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 1);
    EXPECT_FALSE(run.QuitMessageSeen());
    ExpectLaunchedTarget();
    ExpectWholePackageOnDisk();

    const std::vector<RecordedRequest> requests = server_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& request = requests[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"NORVALIS_PRODUCT", "Kestrune"},
        {"NORVALIS_PRODUCT_VERSION", "2"},
        {"ZELQ_OS_VERSION", "7"},
        {"ZELQ_CPU_TYPE", "32"},
        {"User-Agent", "Download Manager"}};
    for (const auto& header : expected) {
        const RecordedHeader* found = request.Find(header.first);
        ASSERT_NE(found, nullptr) << header.first << " missing in\n" << request.raw;
        EXPECT_EQ(found->value, header.second) << header.first;
    }
}

TEST_F(DownloadRun, WithoutHashCodeNoKeepsTheFileWithoutLaunching)
{
    EXPECT_EQ(RunWithoutHashCode(IDNO), 0);
    ExpectNothingLaunched();
    ExpectWholePackageOnDisk();
}

TEST_F(DownloadRun, WithoutHashCodeYesLaunchesThePackage)
{
    EXPECT_EQ(RunWithoutHashCode(IDYES), 1);
    ExpectLaunchedTarget();
    ExpectWholePackageOnDisk();
}

TEST_F(DownloadRun, MismatchAsksAndNoKeepsTheFileWithoutLaunching)
{
    StartServer(Response::Ok()
                    .Header(hashHeader, "0000000000000000000000000000000000000000")
                    .GeneratedBody(packageSize));
    ExportRun run(module_);
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo box = Answer(dialog, IDNO);
    EXPECT_NE(box.text.find(L"does not match the code computed by the Download Manager."),
              std::wstring::npos)
        << box.Describe();
    EXPECT_NE(box.text.find(L"latest Download Manager, available from http://127.0.0.2, and"),
              std::wstring::npos);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    ExpectWholePackageOnDisk();
}

TEST_F(DownloadRun, InvalidHashCodeIsAVerificationErrorAndYesLaunchesAfterTheInstallerNotice)
{
    std::string lowerCase = PatternSha1HexUpper(packageSize);
    for (char& c : lowerCase) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    StartServer(Response::Ok().Header(hashHeader, lowerCase).GeneratedBody(packageSize));
    ExportRun run(module_, L"601");
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo question = Answer(dialog, IDYES);
    EXPECT_NE(question.text.find(L"the Download Manager encountered a generic exception"),
              std::wstring::npos)
        << question.Describe();
    const MessageBoxInfo notice = Answer(dialog, IDOK);
    EXPECT_EQ(notice.text.rfind(L"The download of the latest software installation package", 0), 0u)
        << notice.Describe();
    EXPECT_FALSE(notice.hasIcon);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 1);
    ExpectLaunchedTarget();
}

TEST_F(DownloadRun, ErrorStatusEndsTheRunSilentlyAndNothingIsSaved)
{
    StartServer(Response::Status(404, "Not Found").Body("<html>no such package</html>"));
    ExportRun run(module_);
    ASSERT_NE(SaveAsTarget(run.Owner()), nullptr);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    EXPECT_EQ(ReadFileBytes(target_), "") << "the error page was saved as the package";
}

TEST_F(DownloadRun, CancelConfirmedDuringTheTransferEndsTheRunAndKeepsThePartialFile)
{
    StartServer(Response::Ok()
                    .Header(hashHeader, PatternSha1HexUpper(packageSize))
                    .GeneratedBody(packageSize)
                    .Pieces(4096, 100));
    ExportRun run(module_);
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(server_.WaitForRequests(1, 10000));
    Sleep(500);
    ASSERT_TRUE(op_.PressButton(dialog, 1005));
    Answer(dialog, IDYES);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    const std::string bytes = ReadFileBytes(target_);
    EXPECT_GT(bytes.size(), 0u);
    EXPECT_LT(bytes.size(), packageSize);
    EXPECT_EQ(FirstPatternMismatch(bytes), std::string::npos);
}

TEST_F(DownloadRun, TheProgramRunsTheSameDownloadAndExitsWithZero)
{
    StartServer(Response::Ok()
                    .Header(hashHeader, PatternSha1HexUpper(packageSize))
                    .GeneratedBody(packageSize));
    std::wstring commandLine = L"\"" + ProgramPath() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process))
        << GetLastError();
    CloseHandle(process.hThread);
    SaveAsTarget(nullptr, process.dwProcessId);
    const DWORD waited = WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &exitCode);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_EQ(exitCode, 0u);
    ExpectLaunchedTarget();
    ExpectWholePackageOnDisk();
}

} // namespace
} // namespace kdm_test
