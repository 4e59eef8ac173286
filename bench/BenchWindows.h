// Windows shared by the bench programs: a thread that owns one window and pumps its messages,
// the empty receiver that the floors report to, and the program's own download dialog, loaded
// from its built module so that the bench draws exactly the controls the program draws.
#ifndef KDM_BENCH_BENCHWINDOWS_H
#define KDM_BENCH_BENCHWINDOWS_H

#include <windows.h>
#include <commctrl.h>

#include <cstdint>

#include "app/DialogIds.h"

namespace bench {

// The message the loops send after each block: wParam and lParam point to 64-bit counts.
const UINT kBenchMessage = WM_APP + 1;

inline double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// A thread that creates one window with `create` and dispatches its messages until the object
// is destroyed. Window() is null when the window could not be created.
class ReceiverThread {
public:
    typedef HWND (*CreateFunction)(void* context);

    ReceiverThread(CreateFunction create, void* context) : create(create), context(context)
    {
        ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread = CreateThread(nullptr, 0, Run, this, 0, &threadId);
        if (thread != nullptr)
            WaitForSingleObject(ready, INFINITE);
    }

    ~ReceiverThread()
    {
        if (thread != nullptr) {
            PostThreadMessageW(threadId, WM_QUIT, 0, 0);
            WaitForSingleObject(thread, 5000);
            CloseHandle(thread);
        }
        CloseHandle(ready);
    }

    ReceiverThread(const ReceiverThread&) = delete;
    ReceiverThread& operator=(const ReceiverThread&) = delete;

    HWND Window() const { return window; }

private:
    static DWORD WINAPI Run(void* parameter)
    {
        ReceiverThread* self = static_cast<ReceiverThread*>(parameter);
        self->window = self->create(self->context);
        SetEvent(self->ready);
        MSG message{};
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
        if (self->window != nullptr)
            DestroyWindow(self->window);
        return 0;
    }

    CreateFunction create;
    void* context;
    HWND window = nullptr;
    HANDLE ready = nullptr;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
};

inline LRESULT CALLBACK EmptyReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kBenchMessage)
        return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

// A hidden window whose handler answers kBenchMessage and does nothing else.
inline HWND CreateEmptyReceiver(void*)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = EmptyReceiverProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KdmBenchReceiver";
    RegisterClassW(&windowClass);
    return CreateWindowW(L"KdmBenchReceiver", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

// The program's download dialog from its module (loaded as data: none of its code runs),
// created with `procedure`, shown and painted once. Its bar gets the program's range.
inline HWND CreateProgramDialog(HMODULE module, DLGPROC procedure)
{
    const HWND dialog =
        CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_DOWNLOAD), nullptr, procedure, 0);
    if (dialog == nullptr)
        return nullptr;
    SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETRANGE32, 0, 5000);
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    return dialog;
}

// The count with "," between groups of three digits, as the program shows it.
inline void GroupedCount(std::uint64_t value, wchar_t* text, int capacity)
{
    wchar_t digits[32];
    int length = 0;
    do {
        digits[length++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    int out = 0;
    for (int i = length - 1; i >= 0 && out < capacity - 2; --i) {
        text[out++] = digits[i];
        if (i != 0 && i % 3 == 0)
            text[out++] = L',';
    }
    text[out] = L'\0';
}

} // namespace bench

#endif
