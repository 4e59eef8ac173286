// The download dialog's life as a user and a calling installer see it: the real dialog procedure
// and resources, run through the real entry points on a dialog thread of their own, with a
// scripted start (ScriptedStart.cpp) and an operator on the test thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/AppState.h"
#include "app/DialogIds.h"
#include "app/EntryPoints.h"
#include "tests/app/ScriptedStart.h"
#include "tests/support/DialogRun.h"
#include "tests/support/Operator.h"
#include "tests/support/WaitUntil.h"

namespace kdm_test {
namespace {

const wchar_t kDialogCaption[] = L"Kestrune Download Manager";

bool WaitForStartCalls(LONG calls)
{
    WaitUntil([calls] { return startScript.calls >= calls; }, 5000);
    return startScript.calls == calls;
}

// The answer reaches the event after the box has gone, on the dialog thread: allow a moment.
bool CancelEventSet(DWORD waitMs = 0)
{
    return WaitForSingleObject(cancelEvent.Get(), ScaledMs(waitMs)) == WAIT_OBJECT_0;
}

class DialogLifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        startScript = StartScript();
        ResetEvent(cancelEvent.Get());
    }
    void TearDown() override { ResetEvent(cancelEvent.Get()); }

    Operator op;
};

TEST_F(DialogLifecycle, ExportRunsTheDialogFromItsOwnModuleAndEndsWithTheLow16BitsOfTheResult)
{
    DialogRun run(DownloadFile);
    const FoundWindow dialog = op.WaitForDialog(kDialogCaption, run.Owner());
    ASSERT_TRUE(dialog) << dialog.message;
    ASSERT_TRUE(WaitForStartCalls(1));
    EXPECT_FALSE(startScript.sawStandaloneMode);
    EXPECT_EQ(startScript.sawInstallerOsVersion, nullptr);
    EXPECT_EQ(startScript.sawModuleInstance, GetModuleHandleW(nullptr));
    EXPECT_FALSE(IsWindowEnabled(run.Owner())) << "the dialog is modal to its owner";

    PostMessageW(dialog.hwnd, WM_DOWNLOAD_DONE, 0x7FFF0001, 0);
    ASSERT_TRUE(run.Finish(10000));
    EXPECT_EQ(run.Result(), 1);
    EXPECT_FALSE(run.QuitMessageSeen());
}

TEST_F(DialogLifecycle, StartsOnlyOnTheFirstShowingAndIgnoresEscape)
{
    DialogRun run(DownloadFile);
    const FoundWindow dialog = op.WaitForDialog(kDialogCaption, run.Owner());
    ASSERT_TRUE(dialog) << dialog.message;
    ASSERT_TRUE(WaitForStartCalls(1));

    // Hidden and shown again, as when the installer's window is minimised and restored.
    ShowWindow(dialog.hwnd, SW_HIDE);
    ShowWindow(dialog.hwnd, SW_SHOW);
    ASSERT_TRUE(op.PressKey(dialog.hwnd, VK_ESCAPE));
    ASSERT_TRUE(op.PostCommand(dialog.hwnd, IDCANCEL));
    ASSERT_TRUE(op.PostCommand(dialog.hwnd, IDOK));
    EXPECT_FALSE(run.Finish(500)) << "Escape, IDCANCEL or IDOK ended the dialog";
    EXPECT_TRUE(IsWindowVisible(dialog.hwnd));
    EXPECT_EQ(startScript.calls, 1);

    PostMessageW(dialog.hwnd, WM_DOWNLOAD_DONE, 0xFFFF0000, 0);
    ASSERT_TRUE(run.Finish(10000));
    EXPECT_EQ(run.Result(), 0);
}

TEST_F(DialogLifecycle, CloseBoxAndCancelButtonAskBeforeCancelling)
{
    DialogRun run(DownloadFile);
    const FoundWindow dialog = op.WaitForDialog(kDialogCaption, run.Owner());
    ASSERT_TRUE(dialog) << dialog.message;

    ASSERT_TRUE(op.PressCloseBox(dialog.hwnd));
    MessageBoxInfo box = op.WaitForMessageBox(dialog.hwnd);
    ASSERT_TRUE(box) << box.message;
    EXPECT_EQ(box.caption, kDialogCaption);
    EXPECT_EQ(box.text.rfind(
                  L"Are you sure that you want to cancel this download?\r\n\r\nKestrune is", 0),
              0u)
        << box.Describe();
    EXPECT_NE(box.text.find(L"Money Back Guarantee \x2013 no questions asked."),
              std::wstring::npos);
    EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(box.focusedButton, IDNO) << "No is the default answer";
    EXPECT_TRUE(box.hasIcon);
    ASSERT_TRUE(op.Answer(box, IDNO));
    EXPECT_FALSE(CancelEventSet(300));
    EXPECT_TRUE(IsWindowVisible(dialog.hwnd)) << "the dialog is never closed directly";

    ASSERT_TRUE(op.PressButton(dialog.hwnd, IDC_CANCEL_DOWNLOAD));
    box = op.WaitForMessageBox(dialog.hwnd);
    ASSERT_TRUE(box) << box.message;
    ASSERT_TRUE(op.Answer(box, IDYES));
    EXPECT_TRUE(CancelEventSet(5000));
    EXPECT_FALSE(run.Finish(300)) << "the worker, not the dialog, ends a cancelled run";

    PostMessageW(dialog.hwnd, WM_DOWNLOAD_DONE, 0, 0);
    ASSERT_TRUE(run.Finish(10000));
    EXPECT_EQ(run.Result(), 0);
}

TEST_F(DialogLifecycle, CancelIsIgnoredWhileTheFinalStageHoldsTheCompletionLock)
{
    DialogRun run(DownloadFile);
    const FoundWindow dialog = op.WaitForDialog(kDialogCaption, run.Owner());
    ASSERT_TRUE(dialog) << dialog.message;

    EnterCriticalSection(&completionLock);
    op.PostCommand(dialog.hwnd, IDC_CANCEL_DOWNLOAD);
    PostMessageW(dialog.hwnd, WM_CLOSE, 0, 0);
    Operator quick(1000);
    const MessageBoxInfo box = quick.WaitForMessageBox(dialog.hwnd);
    LeaveCriticalSection(&completionLock);
    EXPECT_FALSE(box) << "a question was asked: " << box.Describe();
    EXPECT_FALSE(CancelEventSet());

    PostMessageW(dialog.hwnd, WM_DOWNLOAD_DONE, 1, 0);
    ASSERT_TRUE(run.Finish(10000));
    EXPECT_EQ(run.Result(), 1);
}

TEST_F(DialogLifecycle, FailedStartThroughAnExportEndsWithZeroAndNoQuitMessage)
{
    for (StartOutcome outcome : {StartOutcome::Failed, StartOutcome::Throws}) {
        startScript = StartScript();
        startScript.outcome = outcome;
        DialogRun run(DownloadFile);
        ASSERT_TRUE(run.Finish(10000));
        EXPECT_EQ(startScript.calls, 1);
        EXPECT_EQ(run.Result(), 0);
        EXPECT_FALSE(run.QuitMessageSeen()) << "a quit message reached the installer's loop";
    }
}

TEST_F(DialogLifecycle, FailedStartOfTheProgramEndsThroughAQuitMessage)
{
    startScript.outcome = StartOutcome::Failed;
    DialogRun run([](HWND) { return RunProgram(GetModuleHandleW(nullptr)); }, OwnerWindow::None);
    ASSERT_TRUE(run.Finish(10000));
    EXPECT_EQ(startScript.calls, 1);
    EXPECT_TRUE(startScript.sawStandaloneMode);
    EXPECT_EQ(run.Result(), 0);
    EXPECT_TRUE(run.QuitMessageSeen());
    EXPECT_EQ(run.QuitCode(), 0u);
}

TEST_F(DialogLifecycle, InstallerVersionCodeReachesTheStartAndNullBehavesLikeDownloadFile)
{
    static const wchar_t kVersionCode[] = L"601";
    startScript.outcome = StartOutcome::Failed;
    {
        DialogRun run([](HWND owner) { return DownloadFileForInstaller(owner, kVersionCode); });
        ASSERT_TRUE(run.Finish(10000));
        EXPECT_EQ(startScript.sawInstallerOsVersion, kVersionCode)
            << "the text is used, not copied";
        EXPECT_FALSE(startScript.sawStandaloneMode);
        EXPECT_EQ(run.Result(), 0);
    }
    startScript.sawInstallerOsVersion = kVersionCode;
    {
        DialogRun run([](HWND owner) { return DownloadFileForInstaller(owner, nullptr); });
        ASSERT_TRUE(run.Finish(10000));
        EXPECT_EQ(startScript.calls, 2);
        EXPECT_EQ(startScript.sawInstallerOsVersion, nullptr);
        EXPECT_EQ(run.Result(), 0);
        EXPECT_FALSE(run.QuitMessageSeen());
    }
}

} // namespace
} // namespace kdm_test
