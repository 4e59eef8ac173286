// GetTickCount64 for the static runtime of the MinGW-w64 toolchain. Its thread library (which the
// C++ runtime uses for the exception pool's lock and the unwinder) calls GetTickCount64, which
// Windows has from Vista on; imported, it would keep the binaries from loading on XP at all. The
// build points that import at kdmGetTickCount64Import (cmake/xp-imports.ld, linked through
// cmake/Imports.cmake), so the binaries import nothing by that name and the function is looked
// up when it is first called.
//
// The thread library computes a deadline as GetTickCount64() + timeout and waits for the
// difference to now as a 32-bit count. A bare GetTickCount would go back to 0 at its wrap after
// 49.7 days of uptime: that difference would then come out as 0xFFFFFFFF (INFINITE) and a timed
// wait would never end. So on XP the 32-bit count is extended to one that keeps rising.
#include <windows.h>

#include "foundation/SystemLibraries.h"
#include "foundation/TickCount64.h"

namespace {

// The state of ExtendTickCount for this system's GetTickCount, shared by every thread.
volatile LONGLONG systemTickState = 0;

ULONGLONG WINAPI ExtendedSystemTickCount()
{
    return ExtendTickCount(&GetTickCount, &systemTickState);
}

// TickCount64Of(kernel32) once looked up; null until then. Every thread that finds it null looks
// it up and stores the same value, so the race is harmless.
TickCount64Function volatile resolvedTickCount64 = nullptr;

ULONGLONG WINAPI SystemTickCount64()
{
    TickCount64Function function = resolvedTickCount64;
    if (function == nullptr) {
        function = TickCount64Of(GetModuleHandleW(L"kernel32.dll"));
        resolvedTickCount64 = function;
    }
    return function();
}

} // namespace

ULONGLONG ExtendTickCount(TickCountFunction tickCount, volatile LONGLONG* state)
{
    // The state is read before the count, and written only if no other thread wrote it between:
    // so a reading below the last one stored is a wrap, never a late reading of another thread.
    LONGLONG seen = InterlockedCompareExchange64(state, 0, 0);
    for (;;) {
        const DWORD now = tickCount();
        const ULONGLONG last = static_cast<ULONGLONG>(seen);
        ULONGLONG wraps = last >> 32;
        if (now < static_cast<DWORD>(last)) {
            ++wraps;
        }
        const LONGLONG next = static_cast<LONGLONG>((wraps << 32) | now);
        const LONGLONG found = InterlockedCompareExchange64(state, next, seen);
        if (found == seen) {
            return static_cast<ULONGLONG>(next);
        }
        seen = found;
    }
}

TickCount64Function TickCount64Of(HMODULE kernel)
{
    const TickCount64Function getTickCount64 =
        kernel == nullptr ? nullptr
                          : GetProcAddressAs<TickCount64Function>(kernel, "GetTickCount64");
    return getTickCount64 != nullptr ? getTickCount64 : &ExtendedSystemTickCount;
}

extern "C" ULONGLONG(WINAPI* const kdmGetTickCount64Import)() = &SystemTickCount64;
