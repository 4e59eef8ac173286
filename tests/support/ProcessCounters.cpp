#include "tests/support/ProcessCounters.h"

#include <psapi.h>

#include "foundation/SystemLibraries.h"

namespace kdm_test {

DWORD OpenHandleCount()
{
    using Function = BOOL(WINAPI*)(HANDLE, DWORD*);
    const Function function =
        GetProcAddressAs<Function>(GetModuleHandleW(L"kernel32.dll"), "GetProcessHandleCount");
    DWORD count = 0;
    if (function != nullptr && function(GetCurrentProcess(), &count) && count != 0) {
        return count;
    }
    const ULONG_PTR probeLimit = 0x4000;
    for (ULONG_PTR value = 4; value < probeLimit; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
        }
    }
    return count;
}

SIZE_T PrivateBytes()
{
    using Function = BOOL(WINAPI*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
    Function function =
        GetProcAddressAs<Function>(GetModuleHandleW(L"kernel32.dll"), "K32GetProcessMemoryInfo");
    if (function == nullptr) {
        // Loaded once and kept for the life of the test process.
        static const HMODULE psapi = LoadLibraryW(L"psapi.dll");
        function = GetProcAddressAs<Function>(psapi, "GetProcessMemoryInfo");
    }
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (function == nullptr ||
        !function(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                  sizeof(counters))) {
        return 0;
    }
    // Wine leaves PrivateUsage at 0; the commit charge (PagefileUsage) is the same count on
    // Windows.
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

} // namespace kdm_test
