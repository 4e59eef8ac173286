// A visible top-level window that stands in for the download dialog as the owner of the Save As
// dialog and the message boxes. It sits away from the screen's centre, where Wine puts a window
// that nobody placed.
#ifndef KDM_TESTS_DOWNLOAD_OWNERWINDOW_H
#define KDM_TESTS_DOWNLOAD_OWNERWINDOW_H

#include <windows.h>

class OwnerWindow {
public:
    OwnerWindow()
        : hwnd(CreateWindowExW(0, L"STATIC", L"Download dialog stand-in",
                               WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 60, 520, 300, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr))
    {
    }
    ~OwnerWindow()
    {
        if (hwnd != nullptr) {
            DestroyWindow(hwnd);
        }
    }
    OwnerWindow(const OwnerWindow&) = delete;
    OwnerWindow& operator=(const OwnerWindow&) = delete;

    HWND Get() const { return hwnd; }

private:
    HWND hwnd;
};

#endif
