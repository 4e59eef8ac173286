// What the download orchestration (download/) may use of the application shell: the only edge
// that points back from download/ to app/. Nothing else of app/ is visible to download/; the app
// headers that need these declarations include this one.
#ifndef KDM_APP_DIALOGSERVICES_H
#define KDM_APP_DIALOGSERVICES_H

#include <windows.h>

#include <cstdint>

#include "app/CenteredMessageBox.h"
#include "app/DialogIds.h"
#include "foundation/Foundation.h"

// The Windows version code given by a calling installer, or null. Written by the entry points
// before the dialog exists; not copied: the caller keeps it valid for the whole call.
extern const wchar_t* installerOsVersion;

// Manual-reset event, not signalled at start: set by ConfirmCancel, reset by the worker when a
// download starts, polled by the transfer, the hash observer and the worker.
extern MHandle cancelEvent;
// Held by the worker for its final stage; ConfirmCancel only tries it.
extern CRITICAL_SECTION completionLock;

// Controls of the download dialog, stored once per dialog by its set-up on the dialog thread and
// only read afterwards (the worker changes their texts and state from its thread).
extern HWND bytesDoneLabel;
extern HWND bytesTotalLabel;
extern HWND cancelButton;

// Opens the product web site (string IDS_WEBSITE_ADDRESS) in the user's browser. Throws when the
// string is missing or the heap is exhausted.
void OpenProductWebsite(HWND owner);

// Reports the hash computation to the dialog from the worker thread and stops it once the user
// has confirmed cancellation. Owns neither handle.
class LocalObserver : public MObserver {
public:
    LocalObserver(HWND window, HANDLE cancelRequest);
    ~LocalObserver() override;

    // Returns false at once when the cancel request is set (or cannot be tested); otherwise sends
    // WM_VERIFY_PROGRESS synchronously, sleeps 20 ms and returns true. blockSize is not used.
    bool Notify(std::uint64_t done, std::uint64_t total, std::uint64_t blockSize) override;

private:
    HWND window;
    HANDLE cancelRequest;
};

#endif
