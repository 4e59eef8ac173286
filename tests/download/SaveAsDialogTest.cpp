// ChooseTargetFile with the real Save As dialog and message boxes, driven from a second thread
// by the test bench's operator while the test thread runs the dialog's modal loop.
#include "download/TargetFile.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "download/Platform.h"
#include "tests/download/OwnerWindow.h"
#include "tests/support/Operator.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/TextUtil.h"

namespace {

using kdm_test::MessageBoxInfo;
using kdm_test::Operator;
using kdm_test::SaveAsInfo;

const wchar_t kSaveAsTitle[] =
    L"Kestrune Download Manager - Please select convenient download folder and filename";

// What the user does in the Save As dialog.
enum class UserAction { Accept, TypeAndSave, TypeSaveAndConfirmOverwrite, Cancel };

// What the operator saw; read by the test thread after the operator's thread has ended.
struct Seen {
    std::string failure;
    std::wstring caption;
    std::wstring proposal; // the name box
    std::wstring folder;   // the folder the dialog shows
    RECT frame{};
    std::vector<MessageBoxInfo> messageBoxes;
};

class ChooseTargetFileTest : public ::testing::Test {
protected:
    ~ChooseTargetFileTest() override
    {
        if (chooseReturned != nullptr) {
            CloseHandle(chooseReturned);
        }
    }

    void SetUp() override
    {
        moduleInstance = GetModuleHandleW(nullptr);
        ASSERT_NE(owner.Get(), nullptr);
        ASSERT_FALSE(folder.Path().empty());
        ASSERT_NE(chooseReturned, nullptr);
        job.reset(new DownloadJob(owner.Get()));
        job->osName = L"7";
    }

    // Runs ChooseTargetFile while the operator answers the Save As dialog with `action` (typing
    // `typed` where the action types), then answers every message box that follows with OK.
    TargetFileOutcome Run(UserAction action, const std::wstring& typed = std::wstring())
    {
        const HWND ownerWindow = owner.Get();
        std::thread user([this, action, typed, ownerWindow] { Act(ownerWindow, action, typed); });
        TargetFileOutcome outcome = TargetFileOutcome::Failed;
        try {
            outcome = ChooseTargetFile(*job);
        } catch (...) {
            seen.failure += " ChooseTargetFile threw;";
        }
        SetEvent(chooseReturned);
        user.join();
        return outcome;
    }

    // The operator's thread: no assertions here, only notes in `seen`.
    void Act(HWND ownerWindow, UserAction action, const std::wstring& typed)
    {
        const Operator user;
        const SaveAsInfo dialog = user.WaitForSaveAs(ownerWindow, kSaveAsTitle);
        if (!dialog) {
            seen.failure += dialog.message;
            CloseAnySaveAs(ownerWindow);
            return;
        }
        // Wine's dialog may still be filling its folder view when the frame turns visible, for
        // longer than the operator waits for an answer: wait until its thread answers at all.
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(dialog.frame, WM_NULL, 0, 0, SMTO_BLOCK, 15000, &ignored);
        seen.caption = dialog.caption;
        seen.proposal = dialog.fileName;
        seen.folder = ShownFolder(dialog.frame);
        GetWindowRect(dialog.frame, &seen.frame);

        kdm_test::OperatorResult result = kdm_test::OperatorResult::Success();
        if (action == UserAction::Cancel) {
            result = user.CancelSaveAs(dialog);
        } else {
            if (action != UserAction::Accept) {
                result = user.SetSaveAsFileName(dialog, typed);
            }
            if (result) {
                result = user.Save(dialog);
            }
            if (result && action == UserAction::TypeSaveAndConfirmOverwrite) {
                const MessageBoxInfo prompt = user.WaitForOverwritePrompt(dialog);
                result = prompt ? user.Answer(prompt, IDYES)
                                : kdm_test::OperatorResult::Failure(prompt.message);
            }
            if (result) {
                result = user.WaitUntilGone(dialog.frame);
            }
        }
        if (!result) {
            seen.failure += result.message;
            CloseAnySaveAs(ownerWindow);
        }
        // Every message box that comes before ChooseTargetFile has returned is owned by the
        // download dialog; it is answered with OK.
        const Operator watcher(200);
        while (WaitForSingleObject(chooseReturned, 0) != WAIT_OBJECT_0) {
            const MessageBoxInfo box = watcher.WaitForMessageBox(ownerWindow);
            if (!box) {
                continue;
            }
            seen.messageBoxes.push_back(box);
            const kdm_test::OperatorResult answered = watcher.Answer(box, IDOK);
            if (!answered) {
                seen.failure += answered.message + " " + box.Describe();
                PostMessageW(box.hwnd, WM_CLOSE, 0, 0);
                return;
            }
        }
    }

    // The folder the Save As dialog shows. CDM_GETFOLDERPATH answers inside the dialog's own
    // process only, which this is.
    static std::wstring ShownFolder(HWND frame)
    {
        wchar_t path[MAX_PATH] = {};
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutW(frame, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(path),
                                 SMTO_BLOCK, kdm_test::ScaledMs(5000), &length)) {
            return L"<no answer>";
        }
        return path;
    }

    // Ends a Save As dialog left open after a failure, so that the test thread gets back.
    static void CloseAnySaveAs(HWND ownerWindow)
    {
        const Operator user(2000);
        const kdm_test::FoundWindow frame =
            user.WaitForWindow(kdm_test::WindowQuery::DialogOwnedBy(ownerWindow));
        if (frame) {
            user.PostCommand(frame.hwnd, IDCANCEL);
        }
    }

    // The setup title, which the Save As dialog shows in its name box.
    static std::wstring SetupTitleText()
    {
        return std::wstring(L"Kestrune 2012 - Setup for Windows 7, ") + BitnessText() + L" bit";
    }
    // The proposal for a free Downloads folder: the folder, a backslash and the setup title.
    static std::wstring ExpectedProposal()
    {
        return std::wstring(DefaultDownloadFolder().Data()) + L"\\" + SetupTitleText();
    }

    static DWORD FileSizeOf(const std::wstring& path)
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
            return 0xFFFFFFFF;
        }
        return data.nFileSizeLow;
    }

    OwnerWindow owner;
    TempFolder folder{L"kdm-save-as"};
    std::unique_ptr<DownloadJob> job;
    Seen seen;
    // Set when ChooseTargetFile has returned: the operator stops watching for message boxes.
    HANDLE chooseReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

TEST_F(ChooseTargetFileTest, ProposesTheSetupTitleInDownloadsCentredAndCreatesTheFileExclusively)
{
    const std::wstring created = ExpectedProposal() + L".msi";
    ASSERT_FALSE(IsNameTaken(MStringEx<wchar_t>(created.c_str())))
        << "left over from an earlier run: " << kdm_test::ToUtf8(created);

    const TargetFileOutcome outcome = Run(UserAction::Accept);
    ASSERT_TRUE(seen.failure.empty()) << seen.failure;
    EXPECT_EQ(outcome, TargetFileOutcome::Created);
    EXPECT_EQ(seen.caption, kSaveAsTitle);
    EXPECT_EQ(seen.proposal, SetupTitleText());
    EXPECT_EQ(seen.folder, std::wstring(DefaultDownloadFolder().Data()));
    EXPECT_TRUE(seen.messageBoxes.empty());

    // Centred over the owner. Wine shortens the frame by 27 px after it was placed, so its
    // centre ends up to 14 px above the owner's.
    RECT ownerRect{};
    GetWindowRect(owner.Get(), &ownerRect);
    const int ownerX = (ownerRect.left + ownerRect.right) / 2;
    const int ownerY = (ownerRect.top + ownerRect.bottom) / 2;
    const int frameX = (seen.frame.left + seen.frame.right) / 2;
    const int frameY = (seen.frame.top + seen.frame.bottom) / 2;
    EXPECT_NEAR(frameX, ownerX, 1);
    EXPECT_NEAR(frameY, ownerY, 15);

    EXPECT_EQ(std::wstring(job->filePath.Data()), created);
    EXPECT_TRUE(job->file.IsValid());
    EXPECT_EQ(FileSizeOf(created), 0u);
    const HANDLE second = CreateFileW(created.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD secondError = GetLastError();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(secondError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (second != INVALID_HANDLE_VALUE) {
        CloseHandle(second);
    }

    job.reset();
    EXPECT_TRUE(DeleteFileW(created.c_str()));
}

TEST_F(ChooseTargetFileTest, ReplacesAReadOnlyFileTheUserAgreedToOverwrite)
{
    const std::wstring existing = folder / L"old.msi";
    ASSERT_TRUE(WriteTestFile(existing, "an older package"));
    ASSERT_TRUE(SetFileAttributesW(existing.c_str(), FILE_ATTRIBUTE_READONLY));

    const TargetFileOutcome outcome = Run(UserAction::TypeSaveAndConfirmOverwrite, existing);
    ASSERT_TRUE(seen.failure.empty()) << seen.failure;
    EXPECT_EQ(outcome, TargetFileOutcome::Created);
    EXPECT_EQ(std::wstring(job->filePath.Data()), existing);
    EXPECT_TRUE(job->file.IsValid());
    EXPECT_EQ(FileSizeOf(existing), 0u);
    EXPECT_EQ(GetFileAttributesW(existing.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(seen.messageBoxes.empty());
}

TEST_F(ChooseTargetFileTest, AddsTheExtensionAndReplacesThatFileWithoutAsking)
{
    const std::wstring existing = folder / L"setup.msi";
    ASSERT_TRUE(WriteTestFile(existing, "an older package"));

    const TargetFileOutcome outcome = Run(UserAction::TypeAndSave, folder / L"setup");
    ASSERT_TRUE(seen.failure.empty()) << seen.failure;
    EXPECT_EQ(outcome, TargetFileOutcome::Created);
    EXPECT_EQ(std::wstring(job->filePath.Data()), existing);
    EXPECT_EQ(FileSizeOf(existing), 0u);
    EXPECT_TRUE(seen.messageBoxes.empty());
}

TEST_F(ChooseTargetFileTest, APathThatCannotBeCreatedGivesMessage111)
{
    // The chosen name with its extension is a directory.
    const std::wstring directory = folder / L"taken.msi";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));

    const TargetFileOutcome outcome = Run(UserAction::TypeAndSave, folder / L"taken");
    ASSERT_TRUE(seen.failure.empty()) << seen.failure;
    EXPECT_EQ(outcome, TargetFileOutcome::Failed);
    EXPECT_FALSE(job->file.IsValid());
    ASSERT_EQ(seen.messageBoxes.size(), 1u);
    const MessageBoxInfo& box = seen.messageBoxes[0];
    EXPECT_EQ(box.caption, L"Download Manager");
    EXPECT_TRUE(box.hasIcon);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});

    // The system's text for the error of the second creation, whichever code Wine gives for a
    // directory in the way.
    const std::wstring prefix =
        L"The Kestrune Download Manager could not create file '" + directory + L"' because: ";
    bool matched = false;
    for (const DWORD code : {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS, ERROR_ACCESS_DENIED}) {
        matched = matched || box.text == prefix + MStringEx<wchar_t>::FromWin32Error(code).Data();
    }
    EXPECT_TRUE(matched) << kdm_test::ToUtf8(box.text);
    EXPECT_NE(GetFileAttributesW(directory.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(ChooseTargetFileTest, CancellingShowsNothingAndCreatesNothing)
{
    const std::wstring proposal = ExpectedProposal();
    ASSERT_FALSE(IsNameTaken(MStringEx<wchar_t>((proposal + L".msi").c_str())));

    const TargetFileOutcome outcome = Run(UserAction::Cancel);
    ASSERT_TRUE(seen.failure.empty()) << seen.failure;
    EXPECT_EQ(outcome, TargetFileOutcome::Cancelled);
    EXPECT_EQ(seen.proposal, SetupTitleText());
    EXPECT_EQ(seen.folder, std::wstring(DefaultDownloadFolder().Data()));
    EXPECT_TRUE(seen.messageBoxes.empty());
    EXPECT_FALSE(job->file.IsValid());
    EXPECT_TRUE(job->filePath.IsEmpty());
    EXPECT_FALSE(IsNameTaken(MStringEx<wchar_t>((proposal + L".msi").c_str())));
}

} // namespace
