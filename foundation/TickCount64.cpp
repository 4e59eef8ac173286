// GetTickCount64 for the static runtime of the MinGW-w64 toolchain. Its thread library (which the
// C++ runtime uses for the exception pool's lock and the unwinder) calls GetTickCount64, which
// Windows has from Vista on; imported, it would keep the binaries from loading on XP at all. The
// build points that import at kdmGetTickCount64Import (cmake/XpImports.cmake), so the binaries
// import nothing by that name and the function is looked up when it is called.
#include <windows.h>

#include "foundation/SystemLibraries.h"
#include "foundation/TickCount64.h"

namespace {

using GetTickCount64Function = ULONGLONG(WINAPI*)();

ULONGLONG WINAPI SystemTickCount64()
{
    return TickCount64From(GetModuleHandleW(L"kernel32.dll"));
}

} // namespace

ULONGLONG TickCount64From(HMODULE kernel)
{
    const GetTickCount64Function getTickCount64 =
        kernel == nullptr ? nullptr
                          : GetProcAddressAs<GetTickCount64Function>(kernel, "GetTickCount64");
    if (getTickCount64 != nullptr) {
        return getTickCount64();
    }
    return GetTickCount();
}

extern "C" ULONGLONG(WINAPI* const kdmGetTickCount64Import)() = &SystemTickCount64;
