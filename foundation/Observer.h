// The progress and cancel callback of long-running loops.
#ifndef KDM_FOUNDATION_OBSERVER_H
#define KDM_FOUNDATION_OBSERVER_H

#include <cstdint>

#include <windows.h>

// A loop that reports through an observer calls, before each step, WaitWhilePaused and then
// Notify, and stops when Notify returns false. The observer does not own its pause handle.
class MObserver {
public:
    // pauseHandle: a waitable handle that holds the loop while it is not signalled;
    // INVALID_HANDLE_VALUE or null for none.
    explicit MObserver(HANDLE pauseHandle) : pauseHandle(pauseHandle) {}
    virtual ~MObserver() = default;
    MObserver(const MObserver&) = delete;
    MObserver& operator=(const MObserver&) = delete;

    // done and total are byte counts (total 0: unknown), blockSize the size of the next step.
    // Returns true to go on, false to stop.
    virtual bool Notify(std::uint64_t done, std::uint64_t total, std::uint64_t blockSize) = 0;

    HANDLE PauseHandle() const { return pauseHandle; }
    // Waits without time-out on the pause handle when there is one (neither -1 nor 0).
    void WaitWhilePaused() const
    {
        if (pauseHandle != INVALID_HANDLE_VALUE && pauseHandle != nullptr) {
            WaitForSingleObject(pauseHandle, INFINITE);
        }
    }

protected:
    HANDLE pauseHandle;
};

#endif
