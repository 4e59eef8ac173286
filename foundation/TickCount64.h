// The milliseconds since the system started as a 64-bit count that never wraps, for a runtime that
// needs GetTickCount64 on systems that lack it (see TickCount64.cpp).
#ifndef KDM_FOUNDATION_TICKCOUNT64_H
#define KDM_FOUNDATION_TICKCOUNT64_H

#include <windows.h>

using TickCountFunction = DWORD(WINAPI*)();
using TickCount64Function = ULONGLONG(WINAPI*)();

// The next value of a 64-bit count made from the 32-bit count `tickCount` (GetTickCount, which
// wraps to 0 after 49.7 days), read now. `state` holds the count's last value: the number of
// wraps seen in its high half, the last 32-bit reading in its low half; it starts at 0 and is
// shared by every thread that extends the same count, each update one interlocked exchange.
// Never decreases; it counts every wrap as long as the count is read at least once in every 49.7
// days. Never throws.
ULONGLONG ExtendTickCount(TickCountFunction tickCount, volatile LONGLONG* state);

// GetTickCount64 of `kernel` where it has one (Vista and later); otherwise GetTickCount of this
// system extended by ExtendTickCount with one process-wide state (XP). Never throws.
TickCount64Function TickCount64Of(HMODULE kernel);

// What the binaries call instead of an imported GetTickCount64: TickCount64Of(kernel32), looked
// up at the first call. Any thread.
extern "C" ULONGLONG(WINAPI* const kdmGetTickCount64Import)();

#endif
