// One host process running the module's export many times, as an installer that retries would:
// no handles or memory left behind by a run, and the module free to be unloaded and loaded again
// once its runs have ended.
#include <windows.h>

#include <commdlg.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/e2e/ModuleHost.h"
#include "tests/support/Operator.h"
#include "tests/support/ProcessCounters.h"
#include "tests/support/TestServer.h"
#include "tests/support/WaitUntil.h"

namespace kdm_test {
namespace {

const wchar_t kSaveAsCaption[] =
    L"Kestrune Download Manager - Please select convenient download folder and filename";
const wchar_t kControlCaption[] = L"Control Save As";

// The system's Save As dialog shown by the test itself, with the program's kind of request, on a
// thread with an owner window as a run has. Wine's file dialog keeps some handles of its own for
// each use (a registry key of its recent folders, a watch of the folder); this measures them so
// that the runs are judged on what is left beyond them.
struct ControlDialog {
    HWND owner = nullptr;
    HANDLE ready = nullptr;
    static DWORD WINAPI Show(void* parameter)
    {
        ControlDialog* control = static_cast<ControlDialog*>(parameter);
        control->owner = CreateWindowExW(0, L"STATIC", L"Control owner", WS_OVERLAPPEDWINDOW, 0, 0,
                                         400, 300, nullptr, nullptr, nullptr, nullptr);
        SetEvent(control->ready);
        wchar_t file[MAX_PATH] = L"control";
        OPENFILENAMEW request{};
        request.lStructSize = sizeof(request);
        request.hwndOwner = control->owner;
        request.lpstrFilter = L"Installation package (*.msi)\0*.msi\0";
        request.lpstrFile = file;
        request.nMaxFile = MAX_PATH;
        request.lpstrTitle = kControlCaption;
        request.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_EXPLORER |
                        OFN_DONTADDTORECENT;
        GetSaveFileNameW(&request);
        DestroyWindow(control->owner);
        return 0;
    }
};

class ModuleReuse : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        target = std::wstring(folder) + L"kdm-e2e-reuse.msi";
        DeleteFileW(target.c_str());
        // Every request gets the fallback: a 404, which ends the run after the worker has run.
        server.SetFallback(Response::Status(404, "Not Found").Body("no package"));
        ASSERT_TRUE(server.Start("127.0.0.1", 80)) << server.LastError();
    }
    void TearDown() override
    {
        server.Stop();
        DeleteFileW(target.c_str());
    }

    // Saving under target in a Save As dialog.
    void SaveAsTarget(const SaveAsInfo& saveAs)
    {
        ASSERT_TRUE(saveAs) << saveAs.message;
        ASSERT_TRUE(op.SetSaveAsFileName(saveAs, target));
        ASSERT_TRUE(op.Save(saveAs));
    }
    void DeleteTarget()
    {
        WaitUntil([this] { return DeleteFileW(target.c_str()) != FALSE; }, 5000);
    }

    // One whole run through DownloadFile: saved as target, the transfer refused by the server,
    // the export returning 0.
    void RunOnce(const LoadedModule& module)
    {
        DialogRun run(module.ExportCall());
        const FoundWindow dialog =
            op.WaitForWindow(WindowQuery::DialogWithCaption(kDialogCaption).OwnedBy(run.Owner()));
        ASSERT_TRUE(dialog) << dialog.message;
        ASSERT_NO_FATAL_FAILURE(SaveAsTarget(op.WaitForSaveAs(dialog.hwnd, kSaveAsCaption)));
        ASSERT_TRUE(run.Finish(30000)) << DescribeTopLevelWindows();
        EXPECT_EQ(run.Result(), 0);
        DeleteTarget();
    }

    void ShowControlDialog()
    {
        ControlDialog control;
        control.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const HANDLE thread = CreateThread(nullptr, 0, &ControlDialog::Show, &control, 0, nullptr);
        WaitForSingleObject(control.ready, kdm_test::ScaledMs(10000));
        SaveAsTarget(op.WaitForSaveAs(control.owner, kControlCaption));
        EXPECT_EQ(WaitForSingleObject(thread, kdm_test::ScaledMs(10000)), WAIT_OBJECT_0);
        CloseHandle(thread);
        CloseHandle(control.ready);
    }

    static bool ModuleLoaded() { return GetModuleHandleW(ModulePath().c_str()) != nullptr; }

    // The worker thread holds its own reference until its last instruction: the module leaves
    // the process shortly after the export has returned.
    static bool WaitUntilUnloaded()
    {
        return WaitUntil([] { return !ModuleLoaded(); }, 5000);
    }

    TestServer server;
    Operator op{20000};
    std::wstring target;
};

TEST_F(ModuleReuse, ThirtyRunsLeaveHandlesAndMemoryFlatAndTheModuleUnloadsAndLoadsAgain)
{
    ASSERT_FALSE(ModuleLoaded());
    std::unique_ptr<LoadedModule> module(new LoadedModule());
    ASSERT_NE(module->Get(), nullptr);

    // The first runs load the system's dialog and network libraries and fill their caches.
    for (int run = 0; run < 3; ++run) {
        ASSERT_NO_FATAL_FAILURE(RunOnce(*module));
    }
    const int controls = 5;
    const DWORD controlBefore = OpenHandleCount();
    for (int control = 0; control < controls; ++control) {
        ASSERT_NO_FATAL_FAILURE(ShowControlDialog());
    }
    const DWORD systemDialogHandles = (OpenHandleCount() - controlBefore + controls - 1) / controls;

    const DWORD handlesBefore = OpenHandleCount();
    const SIZE_T bytesBefore = PrivateBytes();
    const std::size_t connectionsBefore = server.ConnectionsAccepted();
    ASSERT_NE(handlesBefore, 0u);
    ASSERT_NE(bytesBefore, 0u);
    const DWORD startedAt = GetTickCount();
    const int runs = 30;
    for (int run = 0; run < runs; ++run) {
        ASSERT_NO_FATAL_FAILURE(RunOnce(*module)) << "run " << run;
    }
    // Let the last worker thread end before counting.
    Sleep(500);
    const DWORD handlesAfter = OpenHandleCount();
    const SIZE_T bytesAfter = PrivateBytes();
    // The server keeps the handle of each connection's thread until it stops.
    const DWORD serverHandles =
        static_cast<DWORD>(server.ConnectionsAccepted() - connectionsBefore);
    std::printf("%d runs in %lu ms; handles %lu -> %lu (system dialog %lu a use, server %lu); "
                "private bytes %lu -> %lu\n",
                runs, static_cast<unsigned long>(GetTickCount() - startedAt),
                static_cast<unsigned long>(handlesBefore), static_cast<unsigned long>(handlesAfter),
                static_cast<unsigned long>(systemDialogHandles),
                static_cast<unsigned long>(serverHandles), static_cast<unsigned long>(bytesBefore),
                static_cast<unsigned long>(bytesAfter));
    // A leak of one handle or one small object per run would show as at least 30 of them.
    EXPECT_LE(handlesAfter, handlesBefore + runs * systemDialogHandles + serverHandles + 10);
    EXPECT_LE(bytesAfter, bytesBefore + 2 * 1024 * 1024);

    module.reset();
    EXPECT_TRUE(WaitUntilUnloaded()) << "the module stays loaded after its runs have ended";
    module.reset(new LoadedModule());
    ASSERT_NE(module->Get(), nullptr);
    ASSERT_NO_FATAL_FAILURE(RunOnce(*module));
}

} // namespace
} // namespace kdm_test
