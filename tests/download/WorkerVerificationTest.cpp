// The worker's verification guard, with a string table that lacks the mismatch question
// IDS_HASH_MISMATCH: the question is asked inside the guard, so that a failure to build or show
// it becomes the generic question IDS_VERIFY_FAILED like every other failure of the
// verification, instead of ending the run without a word.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/DialogServices.h"
#include "download/DownloadJob.h"
#include "download/DownloadWorker.h"
#include "download/TargetFile.h"
#include "tests/support/Operator.h"
#include "tests/support/TestServer.h"

namespace kdm_test {
namespace {

const wchar_t kWindowClass[] = L"KdmWorkerVerificationTest";
// The run's result from WM_DOWNLOAD_DONE, -1 until it arrives.
int doneResult = -1;

LRESULT CALLBACK JobWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DOWNLOAD_DONE) {
        doneResult = static_cast<int>(wParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(WorkerVerification, AMismatchQuestionThatCannotBeBuiltBecomesTheGenericQuestion)
{
    TestServer server;
    // A valid hash code of the wrong digest: the verification ends in a mismatch.
    server.Enqueue(Response::Ok()
                       .Header("NORVALIS-DOWNLOAD-HASHCODE", std::string(40, '0'))
                       .GeneratedBody(4096));
    ASSERT_TRUE(server.Start("127.0.0.1", 80)) << server.LastError();

    WNDCLASSW windowType{};
    windowType.lpfnWndProc = JobWindowProc;
    windowType.hInstance = GetModuleHandleW(nullptr);
    windowType.lpszClassName = kWindowClass;
    RegisterClassW(&windowType);
    // The job's dialog: the worker sends its progress to it and owns its questions by it.
    const HWND dialog = CreateWindowExW(0, kWindowClass, L"Job dialog", WS_OVERLAPPEDWINDOW, 0, 0,
                                        300, 200, nullptr, nullptr, windowType.hInstance, nullptr);
    ASSERT_NE(dialog, nullptr);

    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    const MStringEx<wchar_t> path = MStringEx<wchar_t>(folder) + L"kdm-worker-verification.msi";
    DWORD error = ERROR_SUCCESS;
    DownloadJob* const job = new DownloadJob(dialog);
    job->filePath = path;
    job->osName = MStringEx<wchar_t>(L"XP");
    job->file.Reset(CreateTargetFile(path, error));
    ASSERT_TRUE(job->file.IsValid()) << "error " << error;

    doneResult = -1;
    if (!StartDownloadWorker(job)) {
        delete job;
        FAIL() << "the worker could not be started";
    }
    MessageBoxInfo question;
    std::thread user([&question, dialog] {
        const Operator op(20000);
        question = op.WaitForMessageBox(dialog);
        if (question) {
            op.Answer(question, IDNO);
        }
    });
    const DWORD startedAt = GetTickCount();
    while (doneResult < 0 && GetTickCount() - startedAt < 30000) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
    user.join();
    DestroyWindow(dialog);
    DeleteFileW(path.Data());

    ASSERT_TRUE(question) << question.message;
    EXPECT_EQ(question.text,
              L"The Download Manager could not verify the download. Install anyway?");
    EXPECT_EQ(question.caption, L"Download Manager");
    EXPECT_TRUE(question.HasButton(IDYES) && question.HasButton(IDNO));
    EXPECT_EQ(doneResult, 0) << "a declined question ends the run with 0";
}

} // namespace
} // namespace kdm_test
