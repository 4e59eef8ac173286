#include <windows.h>

#include <cstdlib>

#include "app/CenteredMessageBox.h"
#include "foundation/Handles.h"

namespace {

// messageBoxHook: the CBT hook that the next message box on this thread removes again. Kept per
// thread, since the worker and the dialog thread may each show a message box. An explicit TLS slot
// rather than thread_local: implicit TLS does not work in a DLL loaded at run time on Windows XP.
class ThreadHookSlot {
public:
    ThreadHookSlot() : slot(TlsAlloc()) {}

    HHOOK Get() const
    {
        return slot.IsEmpty() ? nullptr : static_cast<HHOOK>(TlsGetValue(slot.Get()));
    }
    void Set(HHOOK hook)
    {
        if (!slot.IsEmpty())
            TlsSetValue(slot.Get(), hook);
    }

private:
    const TlsSlotGuard slot;
};

ThreadHookSlot messageBoxHook;

LRESULT CALLBACK CenterMessageBoxHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code < 0)
        return CallNextHookEx(messageBoxHook.Get(), code, wParam, lParam);
    if (code == HCBT_ACTIVATE) {
        CenterOverParent(reinterpret_cast<HWND>(wParam));
        UnhookWindowsHookEx(messageBoxHook.Get());
        messageBoxHook.Set(nullptr);
    }
    return 0;
}

void CenterOverRect(const RECT& reference, HWND window)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    const int width = std::abs(rect.right - rect.left);
    const int height = std::abs(rect.bottom - rect.top);
    const POINT origin = CenteredOrigin(reference, width, height);
    MoveWindow(window, origin.x, origin.y, width, height, TRUE);
}

} // namespace

POINT CenteredOrigin(const RECT& reference, int width, int height)
{
    POINT origin{};
    origin.x = reference.left + std::abs(reference.right - reference.left) / 2 - width / 2;
    origin.y = reference.top + std::abs(reference.bottom - reference.top) / 2 - height / 2;
    return origin;
}

void CenterOverWindow(HWND reference, HWND window)
{
    if (!IsWindow(reference))
        reference = GetDesktopWindow();
    RECT referenceRect{};
    if (!GetWindowRect(reference, &referenceRect))
        referenceRect = RECT{0, 0, 500, 500};
    CenterOverRect(referenceRect, window);
}

void CenterOverParent(HWND window)
{
    CenterOverWindow(GetParent(window), window);
}

void CenterOnPrimaryWorkArea(HWND window)
{
    const POINT origin{0, 0};
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    GetMonitorInfoW(MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY), &info);
    // The work area's centre, then the usual arithmetic on a zero-sized reference at that point.
    const LONG cx = (info.rcWork.left + info.rcWork.right) / 2;
    const LONG cy = (info.rcWork.top + info.rcWork.bottom) / 2;
    CenterOverRect(RECT{cx, cy, cx, cy}, window);
}

int CenteredMessageBox(HWND owner, const MStringEx<wchar_t>& text,
                       const MStringEx<wchar_t>& caption, UINT type)
{
    messageBoxHook.Set(
        SetWindowsHookExW(WH_CBT, CenterMessageBoxHook, nullptr, GetCurrentThreadId()));
    const int answer = MessageBoxW(owner, text.Data(), caption.Data(), type);
    // A box that was shown has removed the hook on its activation. One that could not be created
    // leaves it installed: remove it here, or it would move the next window activated on this
    // thread and stay installed for good once the next box replaces it in the slot.
    const HHOOK leftover = messageBoxHook.Get();
    if (leftover != nullptr) {
        UnhookWindowsHookEx(leftover);
        messageBoxHook.Set(nullptr);
    }
    return answer;
}
