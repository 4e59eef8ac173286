// The dialog as a user sees it during a run: its set-up, its place on the screen, the progress
// display and the centred message boxes. The real dialog procedure and resources run through an
// entry point on a dialog thread of their own (DialogRun), with a scripted start that keeps the
// dialog open; the test thread plays the worker and reads the windows back.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "app/AppState.h"
#include "app/CenteredMessageBox.h"
#include "app/DialogIds.h"
#include "app/EntryPoints.h"
#include "app/ProgressDisplay.h"
#include "tests/app/ScriptedStart.h"
#include "tests/support/DialogRun.h"
#include "tests/support/Operator.h"
#include "tests/support/TextUtil.h"
#include "tests/support/WaitUntil.h"

namespace kdm_test {
namespace {

const wchar_t kDialogCaption[] = L"Kestrune Download Manager";

std::string Describe(const RECT& rect)
{
    return "(" + std::to_string(rect.left) + ", " + std::to_string(rect.top) + ", " +
           std::to_string(rect.right) + ", " + std::to_string(rect.bottom) + ")";
}

RECT WindowRect(HWND window)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    return rect;
}

LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_BLOCK, ScaledMs(5000),
                             &result)) {
        ADD_FAILURE() << "message " << message << ": " << Win32ErrorText(GetLastError());
    }
    return static_cast<LRESULT>(result);
}

HFONT FontOf(HWND window)
{
    return reinterpret_cast<HFONT>(Ask(window, WM_GETFONT));
}

LOGFONTW LogFontOf(HFONT font)
{
    LOGFONTW logFont{};
    EXPECT_EQ(GetObjectW(font, sizeof(logFont), &logFont), static_cast<int>(sizeof(logFont)));
    return logFont;
}

// A dialog run through DownloadFile (or the program) whose start keeps it open.
class DialogView : public ::testing::Test {
protected:
    void SetUp() override
    {
        startScript = StartScript();
        ResetEvent(cancelEvent.Get());
    }
    void TearDown() override { ResetEvent(cancelEvent.Get()); }

    // Ends the run as the worker does and waits for the entry point to return.
    static void EndRun(HWND dialog, DialogRun& run)
    {
        PostMessageW(dialog, WM_DOWNLOAD_DONE, 0, 0);
        ASSERT_TRUE(run.Finish(10000)) << "the dialog did not end";
    }

    Operator op;
};

// What the dialog thread sends while the dialog is destroyed, seen by a WH_CALLWNDPROC hook.
struct SentFont {
    int control;
    WPARAM font;
    LPARAM redraw;
};
std::vector<SentFont> fontsSentAtDestruction;
HWND destroyedDialog = nullptr;
bool dialogDestroyed = false;

LRESULT CALLBACK RecordDestruction(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == WM_DESTROY && sent->hwnd == destroyedDialog)
        dialogDestroyed = true;
    if (code == HC_ACTION && sent->message == WM_SETFONT && dialogDestroyed)
        fontsSentAtDestruction.push_back(
            SentFont{GetDlgCtrlID(sent->hwnd), sent->wParam, sent->lParam});
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(DialogView, SetUpShowsTheProgramIconTitleAndFontsAndDestructionRestoresTheFonts)
{
    DialogRun run(DownloadFile);
    const FoundWindow found = op.WaitForDialog(kDialogCaption, run.Owner());
    ASSERT_TRUE(found) << found.message;
    const HWND dialog = found.hwnd;

    ASSERT_NE(dialogIcon, nullptr);
    EXPECT_EQ(reinterpret_cast<HICON>(Ask(dialog, WM_GETICON, ICON_BIG)), dialogIcon);
    EXPECT_EQ(reinterpret_cast<HICON>(Ask(dialog, WM_GETICON, ICON_SMALL)), dialogIcon);

    const HWND appIcon = GetDlgItem(dialog, IDC_APP_ICON);
    const ControlState iconState = op.Item(dialog, IDC_APP_ICON);
    EXPECT_EQ(GetWindowLongW(appIcon, GWL_STYLE) & SS_TYPEMASK, SS_ICON);
    EXPECT_EQ(reinterpret_cast<HICON>(Ask(appIcon, STM_GETICON)), dialogIcon);
    EXPECT_TRUE(iconState.visible);
    EXPECT_EQ(iconState.text, L"");
    EXPECT_EQ(iconState.screenRect.right - iconState.screenRect.left, 48)
        << Describe(iconState.screenRect);
    EXPECT_EQ(iconState.screenRect.bottom - iconState.screenRect.top, 48)
        << Describe(iconState.screenRect);

    for (int id : {IDC_SETUP_TITLE, IDC_BYTES_DONE, IDC_BYTES_TOTAL}) {
        EXPECT_EQ(op.ItemText(dialog, id), L"") << "control " << id << " shows its template text";
    }
    EXPECT_EQ(Ask(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETRANGE, FALSE), 5000);
    EXPECT_EQ(Ask(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETRANGE, TRUE), 0);

    const HFONT dialogFont = FontOf(dialog);
    ASSERT_NE(dialogFont, nullptr);
    const LOGFONTW base = LogFontOf(dialogFont);
    const struct {
        int id;
        LONG heightDelta;
        LONG weight;
    } fonts[] = {{IDC_STAGE, -2, 700}, {IDC_SETUP_TITLE, -4, 700}, {IDC_THANKS, 1, 400}};
    std::vector<HFONT> createdFonts;
    for (const auto& f : fonts) {
        SCOPED_TRACE(f.id);
        const HFONT font = FontOf(GetDlgItem(dialog, f.id));
        ASSERT_NE(font, dialogFont) << "the control kept the dialog's font";
        createdFonts.push_back(font);
        const LOGFONTW logFont = LogFontOf(font);
        EXPECT_EQ(logFont.lfHeight, base.lfHeight + f.heightDelta);
        EXPECT_EQ(logFont.lfWeight, f.weight);
        EXPECT_EQ(logFont.lfItalic, 0);
        EXPECT_EQ(logFont.lfUnderline, 0);
        EXPECT_EQ(std::wstring(logFont.lfFaceName), std::wstring(base.lfFaceName));
        EXPECT_EQ(logFont.lfCharSet, base.lfCharSet);
    }

    fontsSentAtDestruction.clear();
    dialogDestroyed = false;
    destroyedDialog = dialog;
    const HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, RecordDestruction, nullptr,
                                         GetWindowThreadProcessId(dialog, nullptr));
    ASSERT_NE(hook, nullptr) << Win32ErrorText(GetLastError());
    PostMessageW(dialog, WM_DOWNLOAD_DONE, 0, 0);
    const bool ended = run.Finish(10000);
    UnhookWindowsHookEx(hook);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(dialogDestroyed);

    // Each re-fonted control gets the dialog's font back once, without a redraw; no other control
    // is touched.
    ASSERT_EQ(fontsSentAtDestruction.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(fonts[i].id);
        EXPECT_EQ(fontsSentAtDestruction[i].control, fonts[i].id);
        EXPECT_EQ(fontsSentAtDestruction[i].font, reinterpret_cast<WPARAM>(dialogFont));
        EXPECT_EQ(fontsSentAtDestruction[i].redraw, FALSE);
        LOGFONTW gone{};
        EXPECT_EQ(GetObjectW(createdFonts[i], sizeof(gone), &gone), 0)
            << "the created font was not deleted";
    }
}

TEST_F(DialogView, DialogIsCentredOnTheWorkAreaOrOverItsOwnerEvenWhenWiderThanIt)
{
    {
        SCOPED_TRACE("program: parent is the desktop window");
        DialogRun run([](HWND) { return RunProgram(GetModuleHandleW(nullptr)); },
                      OwnerWindow::None);
        const FoundWindow found = op.WaitForDialog(kDialogCaption);
        ASSERT_TRUE(found) << found.message;
        MONITORINFO monitor{};
        monitor.cbSize = sizeof(monitor);
        ASSERT_TRUE(
            GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor));
        const RECT work = monitor.rcWork;
        const RECT rect = WindowRect(found.hwnd);
        const LONG width = rect.right - rect.left;
        const LONG height = rect.bottom - rect.top;
        EXPECT_EQ(rect.left, (work.left + work.right) / 2 - width / 2) << Describe(work);
        EXPECT_EQ(rect.top, (work.top + work.bottom) / 2 - height / 2) << Describe(work);
        EndRun(found.hwnd, run);
    }
    const RECT owners[] = {{40, 60, 940, 660}, {700, 500, 900, 560}};
    for (const RECT& ownerRect : owners) {
        SCOPED_TRACE("owner " + Describe(ownerRect));
        DialogRun run(DownloadFile, OwnerWindow::Made, ownerRect);
        const FoundWindow found = op.WaitForDialog(kDialogCaption, run.Owner());
        ASSERT_TRUE(found) << found.message;
        const RECT owner = WindowRect(run.Owner());
        const RECT rect = WindowRect(found.hwnd);
        const LONG width = rect.right - rect.left;
        const LONG height = rect.bottom - rect.top;
        EXPECT_EQ(rect.left, owner.left + (owner.right - owner.left) / 2 - width / 2);
        EXPECT_EQ(rect.top, owner.top + (owner.bottom - owner.top) / 2 - height / 2);
        if (width > owner.right - owner.left) {
            EXPECT_LT(rect.left, owner.left) << "a wider dialog is not clamped to its owner";
        }
        EndRun(found.hwnd, run);
    }
}

// Shows the same box as the dialog's, without the centring hook, and reads its size.
SIZE PlainMessageBoxSize(const Operator& op, const MessageBoxInfo& like, UINT type)
{
    std::thread asker(
        [&like, type] { MessageBoxW(nullptr, like.text.c_str(), like.caption.c_str(), type); });
    const FoundWindow box =
        op.WaitForWindow(WindowQuery::DialogWithCaption(like.caption).OwnedBy(nullptr));
    SIZE size{};
    if (box) {
        const RECT rect = WindowRect(box.hwnd);
        size = SIZE{rect.right - rect.left, rect.bottom - rect.top};
        op.Answer(op.ReadMessageBox(box.hwnd), IDNO);
    } else {
        ADD_FAILURE() << box.message;
    }
    asker.join();
    return size;
}

TEST_F(DialogView, CancelQuestionIsCentredOverTheDialogAndKeepsItsSize)
{
    DialogRun run(DownloadFile);
    const FoundWindow found = op.WaitForDialog(kDialogCaption, run.Owner());
    ASSERT_TRUE(found) << found.message;
    // Wine puts a box without the hook at the screen's centre: move the dialog away from it.
    ASSERT_TRUE(SetWindowPos(found.hwnd, nullptr, 15, 25, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    const RECT dialog = WindowRect(found.hwnd);
    ASSERT_EQ(dialog.left, 15);

    ASSERT_TRUE(op.PressButton(found.hwnd, IDC_CANCEL_DOWNLOAD));
    const MessageBoxInfo box = op.WaitForMessageBox(found.hwnd);
    ASSERT_TRUE(box) << box.message;
    // The hook moves the box when it is activated, which may follow its showing by a moment.
    Sleep(100);
    const RECT rect = WindowRect(box.hwnd);
    ASSERT_TRUE(op.Answer(box, IDNO));
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    EXPECT_EQ(rect.left, dialog.left + (dialog.right - dialog.left) / 2 - width / 2)
        << "box " << Describe(rect) << " dialog " << Describe(dialog);
    EXPECT_EQ(rect.top, dialog.top + (dialog.bottom - dialog.top) / 2 - height / 2)
        << "box " << Describe(rect) << " dialog " << Describe(dialog);

    const SIZE plain = PlainMessageBoxSize(op, box, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
    EXPECT_EQ(width, plain.cx);
    EXPECT_EQ(height, plain.cy);
    EXPECT_FALSE(WaitForSingleObject(cancelEvent.Get(), 0) == WAIT_OBJECT_0);
    EndRun(found.hwnd, run);
}

// A box that cannot be created must not leave its hook behind: the next window activated on the
// thread would be moved, and a hook replaced in the slot would never be removed.
TEST(CenteredMessageBox, AFailedBoxLeavesNoHookThatMovesTheNextWindow)
{
    const wchar_t caption[] = L"Kdm box without owner";
    RECT moved{};
    int answer = -1;
    const HANDLE answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread dialogThread([&] {
        const HWND owner = CreateWindowExW(0, L"STATIC", L"Owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                           600, 500, 400, 300, nullptr, nullptr, nullptr, nullptr);
        const HWND gone = CreateWindowExW(0, L"STATIC", L"Gone", WS_POPUP, 0, 0, 10, 10, nullptr,
                                          nullptr, nullptr, nullptr);
        DestroyWindow(gone);
        answer = CenteredMessageBox(gone, MStringEx<wchar_t>(L"never shown"),
                                    MStringEx<wchar_t>(caption), MB_OK);
        SetEvent(answered);
        // The first activation on the thread after the failed box.
        const HWND popup = CreateWindowExW(0, L"STATIC", L"Popup", WS_POPUP | WS_VISIBLE, 10, 20,
                                           100, 50, owner, nullptr, nullptr, nullptr);
        SetActiveWindow(popup);
        GetWindowRect(popup, &moved);
        DestroyWindow(popup);
        DestroyWindow(owner);
    });
    if (WaitForSingleObject(answered, kdm_test::ScaledMs(3000)) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "a box was shown for an owner that is not a window";
        const FoundWindow box =
            Operator(2000).WaitForWindow(WindowQuery::DialogWithCaption(caption));
        if (box)
            PostMessageW(box.hwnd, WM_COMMAND, IDOK, 0);
    }
    dialogThread.join();
    CloseHandle(answered);
    EXPECT_LE(answer, 0) << "the box was answered";
    EXPECT_EQ(moved.left, 10) << Describe(moved);
    EXPECT_EQ(moved.top, 20) << Describe(moved);
}

// Plays the worker: sends the progress messages synchronously with pointers to its own values.
void SendDownloadProgress(HWND dialog, std::uint64_t total, std::uint64_t done)
{
    SendMessageW(dialog, WM_DOWNLOAD_PROGRESS, reinterpret_cast<WPARAM>(&total),
                 reinterpret_cast<LPARAM>(&done));
}

TEST_F(DialogView, ProgressShowsTheCountsTheTotalDecidedOnceAndTheBar)
{
    DialogRun run(DownloadFile);
    const FoundWindow found = op.WaitForDialog(kDialogCaption, run.Owner());
    ASSERT_TRUE(found) << found.message;
    const HWND dialog = found.hwnd;
    const HWND bar = GetDlgItem(dialog, IDC_PROGRESS);

    struct Step {
        std::uint64_t total;
        std::uint64_t done;
        const wchar_t* doneText;
        const wchar_t* totalText;
        LRESULT position;
    };
    const struct {
        const char* what;
        std::vector<Step> steps;
    } downloads[] = {
        {"known total",
         {{10000000, 2500000, L"2,500,000", L"out of 10,000,000 bytes", 1250},
          {10000000, 10000000, L"10,000,000", L"out of 10,000,000 bytes", 5000},
          {10000000, 12500000, L"12,500,000", L"out of 10,000,000 bytes", 5000}}},
        {"unknown total",
         {{0, 999, L"999", L"out of [unknown] bytes", 2500},
          {0, 1000, L"1,000", L"out of [unknown] bytes", 2500},
          {0, 123456789, L"123,456,789", L"out of [unknown] bytes", 2500}}},
        {"total known only later",
         {{0, 8192, L"8,192", L"out of [unknown] bytes", 2500},
          {32768, 16384, L"16,384", L"out of [unknown] bytes", 2500},
          {32768, 32768, L"32,768", L"out of [unknown] bytes", 5000}}},
        {"total known, then lost",
         {{4000, 1000, L"1,000", L"out of 4,000 bytes", 1250},
          {0, 2000, L"2,000", L"out of 4,000 bytes", 2500}}},
    };
    for (const auto& download : downloads) {
        SCOPED_TRACE(download.what);
        // What the worker shows before its first block.
        ASSERT_TRUE(op.SetItemText(dialog, IDC_BYTES_TOTAL, L"..."));
        Ask(bar, PBM_SETPOS, 0);
        for (const Step& step : download.steps) {
            SCOPED_TRACE(ToUtf8(step.doneText));
            SendDownloadProgress(dialog, step.total, step.done);
            EXPECT_EQ(op.ItemText(dialog, IDC_BYTES_DONE), step.doneText);
            EXPECT_EQ(op.ItemText(dialog, IDC_BYTES_TOTAL), step.totalText);
            EXPECT_EQ(Ask(bar, PBM_GETPOS), step.position);
        }
    }

    // Verification counts the bytes hashed and leaves the total and the bar alone.
    LocalObserver observer(dialog, cancelEvent.Get());
    EXPECT_TRUE(observer.Notify(1048576, 3000000, 1048576));
    EXPECT_EQ(op.ItemText(dialog, IDC_BYTES_DONE), L"1,048,576");
    EXPECT_EQ(op.ItemText(dialog, IDC_BYTES_TOTAL), L"out of 4,000 bytes");
    EXPECT_EQ(Ask(bar, PBM_GETPOS), 2500);
    EndRun(dialog, run);
}

// A window on a thread of its own that records the verification messages it is sent.
class VerifyRecorder {
public:
    VerifyRecorder()
    {
        ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread = std::thread([this] { Run(); });
        WaitForSingleObject(ready, kdm_test::ScaledMs(5000));
    }
    ~VerifyRecorder()
    {
        PostMessageW(window, WM_CLOSE, 0, 0);
        thread.join();
        CloseHandle(ready);
    }
    VerifyRecorder(const VerifyRecorder&) = delete;
    VerifyRecorder& operator=(const VerifyRecorder&) = delete;

    HWND Window() const { return window; }
    // Read on the test thread between sends; the sends are synchronous.
    int count = 0;
    std::uint64_t total = 0;
    std::uint64_t done = 0;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        VerifyRecorder* self =
            reinterpret_cast<VerifyRecorder*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_VERIFY_PROGRESS && self != nullptr) {
            ++self->count;
            self->total = *reinterpret_cast<const std::uint64_t*>(wParam);
            self->done = *reinterpret_cast<const std::uint64_t*>(lParam);
            return 0;
        }
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    void Run()
    {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KdmVerifyRecorder";
        RegisterClassW(&windowClass);
        window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, windowClass.hInstance, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetEvent(ready);
        MSG message{};
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
    }

    HANDLE ready = nullptr;
    HWND window = nullptr;
    std::thread thread;
};

double Milliseconds()
{
    LARGE_INTEGER frequency{};
    LARGE_INTEGER now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

TEST(LocalObserver, ReportsBothCountsAndPausesUnlessCancelledThenStopsAtOnce)
{
    VerifyRecorder recorder;
    ASSERT_NE(recorder.Window(), nullptr);
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const struct {
        const char* what;
        bool setEvent;
        HANDLE handle;
        bool goOn;
    } cases[] = {
        {"cancel not confirmed", false, event, true},
        {"cancel confirmed", true, event, false},
        {"event cannot be tested", false, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.setEvent)
            SetEvent(event);
        else
            ResetEvent(event);
        recorder.count = 0;
        LocalObserver observer(recorder.Window(), c.handle);
        EXPECT_EQ(observer.PauseHandle(), INVALID_HANDLE_VALUE);
        const double start = Milliseconds();
        const bool goOn = observer.Notify(3145728, 5000000000ull, 1048576);
        const double elapsed = Milliseconds() - start;
        EXPECT_EQ(goOn, c.goOn);
        if (c.goOn) {
            EXPECT_EQ(recorder.count, 1);
            EXPECT_EQ(recorder.total, 5000000000ull);
            EXPECT_EQ(recorder.done, 3145728ull);
            EXPECT_GE(elapsed, 15.0) << "no pause after the report";
            EXPECT_LT(elapsed, 500.0);
        } else {
            EXPECT_EQ(recorder.count, 0);
            EXPECT_LT(elapsed, 10.0) << "a stopped observer paused";
        }
    }
    CloseHandle(event);
}

DWORD WINAPI EnterCompletionLock(void* entered)
{
    EnterCriticalSection(&completionLock);
    *static_cast<bool*>(entered) = WaitForSingleObject(cancelEvent.Get(), 0) == WAIT_OBJECT_0;
    LeaveCriticalSection(&completionLock);
    return 0;
}

// A worker that finishes while the question is open waits for the answer, then sees it.
TEST_F(DialogView, WorkerReachingItsFinalStageWaitsForTheOpenCancelQuestion)
{
    DialogRun run(DownloadFile);
    const FoundWindow found = op.WaitForDialog(kDialogCaption, run.Owner());
    ASSERT_TRUE(found) << found.message;
    ASSERT_TRUE(op.PressButton(found.hwnd, IDC_CANCEL_DOWNLOAD));
    const MessageBoxInfo box = op.WaitForMessageBox(found.hwnd);
    ASSERT_TRUE(box) << box.message;

    bool sawCancel = false;
    const HANDLE worker = CreateThread(nullptr, 0, EnterCompletionLock, &sawCancel, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(WaitForSingleObject(worker, kdm_test::ScaledMs(300)),
              static_cast<DWORD>(WAIT_TIMEOUT))
        << "the worker entered its final stage while the question was open";
    ASSERT_TRUE(op.Answer(box, IDYES));
    EXPECT_EQ(WaitForSingleObject(worker, kdm_test::ScaledMs(5000)), WAIT_OBJECT_0);
    CloseHandle(worker);
    EXPECT_TRUE(sawCancel);
    EndRun(found.hwnd, run);
}

} // namespace
} // namespace kdm_test
