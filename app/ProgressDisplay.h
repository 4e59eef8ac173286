// Progress display of the download dialog and the observer that reports the verification.
#ifndef KDM_APP_PROGRESSDISPLAY_H
#define KDM_APP_PROGRESSDISPLAY_H

#include <windows.h>

#include <cstdint>

#include "foundation/Foundation.h"

// WM_DOWNLOAD_PROGRESS on the dialog thread: the count of bytes done, the total (decided once, on
// the first message: string 114 or 113) and the bar. total 0 means unknown.
void ShowDownloadProgress(std::uint64_t total, std::uint64_t done);
// WM_VERIFY_PROGRESS on the dialog thread: the count of bytes hashed.
void ShowVerifyProgress(std::uint64_t done);

// Bar position (range 0 to 5000) for done bytes out of a known, non-zero total.
unsigned int ProgressPosition(std::uint64_t total, std::uint64_t done);

// Reports the hash computation to the dialog from the worker thread and stops it once the user
// has confirmed cancellation. Owns neither handle.
class LocalObserver : public MObserver {
public:
    LocalObserver(HWND window, HANDLE cancelEvent);
    ~LocalObserver() override;

    // Returns false at once when cancelEvent is set (or cannot be tested); otherwise sends
    // WM_VERIFY_PROGRESS synchronously, sleeps 20 ms and returns true. blockSize is not used.
    bool Notify(std::uint64_t done, std::uint64_t total, std::uint64_t blockSize) override;

private:
    HWND window;
    HANDLE cancelEvent;
};

#endif
