// What each call of the program's per-block work costs under this system, measured one by one
// on the program's own download dialog (loaded from its built module, shown, with the program's
// manifest, so the controls are drawn as the program's are):
//   cancel_test     WaitForSingleObject on an event with time-out 0, as before every block
//   message         a synchronous SendMessageW to an empty handler on another thread
//   count_text      the count with separators into the count label (it repaints at once)
//   total_test      the length of the total label's text (the three-dot test)
//   bar_move        PBM_SETPOS with a new position (the bar repaints at once)
//   bar_same        PBM_SETPOS with the position it already has
//   count_idle, bar_idle   the thread's next wait for messages after that repaint (Wine hands
//                   the new pixels to the X server when the thread goes idle); quiet_idle the
//                   same wait after a call that paints nothing
//   count_text_off  the count text while the label's redraw is off (the call without its paint)
//   bar_move_off    a new bar position while the bar's redraw is off
// Usage: display_costs.exe PROGRAM_MODULE [CALLS]
// Prints one "name=microseconds" line per measure (the mean over CALLS calls, default 2000).
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "bench/BenchWindows.h"

namespace {

INT_PTR CALLBACK QuietDialogProc(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

double Microseconds()
{
    LARGE_INTEGER now{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// Dispatches what is waiting, then lets the thread wait once as its message loop would.
void Idle()
{
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
}

// Runs `call` `calls` times with the thread idle after each; prints its mean and, when
// `idleName` is given, the mean of the idle step.
template <typename Call> void Measure(const char* name, const char* idleName, int calls, Call call)
{
    double inCall = 0;
    double inIdle = 0;
    for (int i = 1; i <= calls; ++i) {
        const double before = Microseconds();
        call(i);
        const double after = Microseconds();
        Idle();
        inCall += after - before;
        inIdle += Microseconds() - after;
    }
    std::printf("%s=%.1f\n", name, inCall / calls);
    if (idleName != nullptr)
        std::printf("%s=%.1f\n", idleName, inIdle / calls);
}

int MeasureAll(HWND dialog, int calls)
{
    const HWND countLabel = GetDlgItem(dialog, IDC_BYTES_DONE);
    const HWND totalLabel = GetDlgItem(dialog, IDC_BYTES_TOTAL);
    const HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    SetWindowTextW(totalLabel, L"...");
    Idle();

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Measure("cancel_test", nullptr, calls, [&](int) { WaitForSingleObject(event, 0); });
    CloseHandle(event);
    {
        bench::ReceiverThread receiver(bench::CreateEmptyReceiver, nullptr);
        if (receiver.Window() == nullptr) {
            std::fprintf(stderr, "no receiving window\n");
            return 1;
        }
        Measure("message", nullptr, calls,
                [&](int) { SendMessageW(receiver.Window(), bench::kBenchMessage, 0, 0); });
    }
    const auto countText = [&](int i) {
        wchar_t text[32];
        bench::GroupedCount(1000000ull + static_cast<unsigned long long>(i) * 8192, text, 32);
        SetWindowTextW(countLabel, text);
    };
    Measure("count_text", "count_idle", calls, countText);
    Measure("total_test", "quiet_idle", calls, [&](int) { GetWindowTextLengthW(totalLabel); });
    Measure("bar_move", "bar_idle", calls,
            [&](int i) { SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(i % 5000), 0); });
    Measure("bar_same", nullptr, calls, [&](int) { SendMessageW(bar, PBM_SETPOS, 100, 0); });

    SendMessageW(countLabel, WM_SETREDRAW, FALSE, 0);
    SendMessageW(bar, WM_SETREDRAW, FALSE, 0);
    Measure("count_text_off", nullptr, calls, countText);
    Measure("bar_move_off", nullptr, calls,
            [&](int i) { SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(i % 5000), 0); });
    SendMessageW(countLabel, WM_SETREDRAW, TRUE, 0);
    SendMessageW(bar, WM_SETREDRAW, TRUE, 0);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: display_costs.exe PROGRAM_MODULE [CALLS]\n");
        return 1;
    }
    const int calls = argc == 3 ? _wtoi(argv[2]) : 2000;
    InitCommonControls();
    const HMODULE module = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load the program's module: %lu\n", GetLastError());
        return 1;
    }
    int result = 1;
    const HWND dialog = bench::CreateProgramDialog(module, QuietDialogProc);
    if (dialog == nullptr) {
        std::fprintf(stderr, "cannot create the program's dialog: %lu\n", GetLastError());
    } else {
        result = calls > 0 ? MeasureAll(dialog, calls) : 1;
        DestroyWindow(dialog);
    }
    FreeLibrary(module);
    return result;
}
