// Waiting for what another thread or process brings about: a window that appears, a request that
// arrives, a line in a log.
#ifndef KDM_TESTS_SUPPORT_WAITUNTIL_H
#define KDM_TESTS_SUPPORT_WAITUNTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kdm_test {

// How long WaitUntil sleeps between two questions.
const DWORD kWaitPollMs = 20;

// Asks condition() on the calling thread, at once and then every kWaitPollMs, until it answers
// true: true as soon as it does, false when it has not within timeoutMs. The last question is
// asked after the time was seen to be up, so a condition met during the last sleep still counts;
// with a timeout of 0 it is asked once.
template <typename Condition> bool WaitUntil(Condition condition, DWORD timeoutMs)
{
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
