// One call of an entry point (an export of the module, or the program's run) on a thread of its
// own, with an owner window made on that thread as an installer's window would be.
#ifndef KDM_TESTS_SUPPORT_DIALOGRUN_H
#define KDM_TESTS_SUPPORT_DIALOGRUN_H

#include <windows.h>

#include <functional>

namespace kdm_test {

// Whether a run makes its owner window first, as an installer has one, or runs without (the
// program: its dialog stands over the desktop).
enum class OwnerWindow { Made, None };

class DialogRun {
public:
    // What the run calls on its thread, with the owner window (null without one); its result is
    // the run's Result().
    using EntryCall = std::function<int(HWND owner)>;

    // Returns once the owner window exists; it is visible, at ownerRect in screen coordinates.
    explicit DialogRun(EntryCall entry, OwnerWindow owner = OwnerWindow::Made,
                       RECT ownerRect = RECT{40, 60, 940, 660});
    // Waits up to a minute for the entry point to return.
    ~DialogRun();
    DialogRun(const DialogRun&) = delete;
    DialogRun& operator=(const DialogRun&) = delete;

    HWND Owner() const { return owner; }
    // Waits for the entry point to return; false when it did not within timeoutMs, a time at
    // native speed that is stretched here by ScaledMs (tests/support/WaitUntil.h).
    bool Finish(DWORD timeoutMs);
    // Read after Finish. Result() is -100 while the entry point has not returned.
    int Result() const { return result; }
    // Whether a WM_QUIT was left in the thread's queue (the caller's loop would have seen it).
    bool QuitMessageSeen() const { return quitSeen; }
    WPARAM QuitCode() const { return quitCode; }

private:
    static DWORD WINAPI ThreadProc(void* parameter);

    const EntryCall entry;
    const bool makesOwner;
    const RECT ownerRect;
    HANDLE ready;
    HANDLE thread = nullptr;
    HWND owner = nullptr;
    int result = -100;
    bool quitSeen = false;
    WPARAM quitCode = 0;
};

} // namespace kdm_test

#endif
