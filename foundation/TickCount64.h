// The milliseconds since the system started, for a runtime that needs GetTickCount64 on systems
// that lack it (see TickCount64.cpp).
#ifndef KDM_FOUNDATION_TICKCOUNT64_H
#define KDM_FOUNDATION_TICKCOUNT64_H

#include <windows.h>

// GetTickCount64 of `kernel` where it has one (Vista and later); otherwise GetTickCount, which
// wraps after 49.7 days (XP). Never throws; any thread.
ULONGLONG TickCount64From(HMODULE kernel);

// What the binaries call instead of an imported GetTickCount64: TickCount64From(kernel32).
extern "C" ULONGLONG(WINAPI* const kdmGetTickCount64Import)();

#endif
