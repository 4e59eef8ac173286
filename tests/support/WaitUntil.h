// Waiting for what another thread or process brings about: a window that appears, a request that
// arrives, a line in a log.
#ifndef KDM_TESTS_SUPPORT_WAITUNTIL_H
#define KDM_TESTS_SUPPORT_WAITUNTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwchar>

namespace kdm_test {

// How long WaitUntil sleeps between two questions.
const DWORD kWaitPollMs = 20;

// The factor by which the test bench stretches its time limits, which are tuned to native speed:
// KDM_TIME_SCALE from the environment (1 to 100; the emulated guest sets it, where every Wine
// process runs several times slower), else 1.
inline DWORD TimeScale()
{
    static const DWORD scale = [] {
        wchar_t text[8] = {};
        const DWORD length = GetEnvironmentVariableW(L"KDM_TIME_SCALE", text, 8);
        const long value = length > 0 && length < 8 ? std::wcstol(text, nullptr, 10) : 1;
        return static_cast<DWORD>(value >= 1 && value <= 100 ? value : 1);
    }();
    return scale;
}

// A time limit tuned to native speed, stretched by TimeScale(); INFINITE stays INFINITE.
inline DWORD ScaledMs(DWORD ms)
{
    return ms >= (INFINITE - 1) / TimeScale() ? (ms == INFINITE ? INFINITE : INFINITE - 1)
                                              : ms * TimeScale();
}

// Asks condition() on the calling thread, at once and then every kWaitPollMs, until it answers
// true: true as soon as it does, false when it has not within ScaledMs(timeoutMs). The last
// question is asked after the time was seen to be up, so a condition met during the last sleep
// still counts; with a timeout of 0 it is asked once.
template <typename Condition> bool WaitUntil(Condition condition, DWORD timeoutMs)
{
    timeoutMs = ScaledMs(timeoutMs);
    const DWORD start = GetTickCount();
    for (;;) {
        const bool timeIsUp = GetTickCount() - start >= timeoutMs;
        if (condition()) {
            return true;
        }
        if (timeIsUp) {
            return false;
        }
        Sleep(kWaitPollMs);
    }
}

} // namespace kdm_test

#endif
