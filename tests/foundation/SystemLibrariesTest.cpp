// Loading from the system folder, the search restriction, and the 64-bit tick count.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/SystemLibraries.h"
#include "foundation/TickCount64.h"

namespace {

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(towlower(c));
    }
    return text;
}

std::wstring FolderOf(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring folder(path, length);
    return Lower(folder.substr(0, folder.find_last_of(L'\\')));
}

std::wstring SystemFolder()
{
    wchar_t path[MAX_PATH] = {};
    return Lower(std::wstring(path, GetSystemDirectoryW(path, MAX_PATH)));
}

// Activates, for its lifetime, the context of one of the test program's manifests: 100 redirects
// comctl32.dll, Iphlpapi.dll and foundation_test_strings.dll to the test program's folder, 101 is
// the program's own.
class RedirectingContext {
public:
    explicit RedirectingContext(WORD manifest = 100)
    {
        ACTCTXW request{};
        request.cbSize = sizeof(request);
        request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.hModule = GetModuleHandleW(nullptr);
        request.lpResourceName = MAKEINTRESOURCEW(manifest);
        context.Reset(CreateActCtxW(&request));
        ULONG_PTR cookie = 0;
        EXPECT_TRUE(ActivateActCtx(context.Get(), &cookie)) << GetLastError();
        active.Reset(cookie);
        ACTCTX_SECTION_KEYED_DATA data{};
        data.cbSize = sizeof(data);
        EXPECT_TRUE(FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                             L"comctl32.dll", &data))
            << "the context redirects nothing";
    }

private:
    ActivationContextGuard context;
    ActivationGuard active;
};

TEST(LoadSystemLibrary, LoadsFromTheSystemFolderAndNeverFromTheProgramsOwn)
{
    // Also while an activation context redirects the names elsewhere: only comctl32.dll follows a
    // context, and only to the side-by-side store.
    for (const bool redirected : {false, true}) {
        SCOPED_TRACE(redirected ? "redirected by the context" : "no context");
        const std::unique_ptr<RedirectingContext> context(redirected ? new RedirectingContext
                                                                     : nullptr);
        const ModuleGuard iphlpapi(LoadSystemLibrary(L"Iphlpapi.dll"));
        ASSERT_FALSE(iphlpapi.IsEmpty()) << GetLastError();
        EXPECT_EQ(FolderOf(iphlpapi.Get()), SystemFolder());
        const ModuleGuard controls(LoadSystemLibrary(L"comctl32.dll"));
        ASSERT_FALSE(controls.IsEmpty()) << GetLastError();
        EXPECT_EQ(FolderOf(controls.Get()), SystemFolder());

        // This resource module lies beside the test program, not in the system folder.
        SetLastError(0);
        const ModuleGuard besideTheProgram(LoadSystemLibrary(L"foundation_test_strings.dll"));
        EXPECT_TRUE(besideTheProgram.IsEmpty());
        EXPECT_NE(GetLastError(), 0u);
    }

    {
        const RedirectingContext commonControls6(101);
        const ModuleGuard controls(LoadSystemLibrary(L"comctl32.dll"));
        ASSERT_FALSE(controls.IsEmpty()) << GetLastError();
        wchar_t windows[MAX_PATH] = {};
        const std::wstring store =
            Lower(std::wstring(windows, GetSystemWindowsDirectoryW(windows, MAX_PATH))) +
            L"\\winsxs\\";
        EXPECT_EQ(FolderOf(controls.Get()).rfind(store, 0), 0u) << "not from the store";
    }

    const std::wstring longName(MAX_PATH, L'a');
    EXPECT_EQ(LoadSystemLibrary(longName.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

DWORD flagsAsked = 0;

BOOL WINAPI RecordingSetDefaultDllDirectories(DWORD flags)
{
    flagsAsked = flags;
    return LookUpSetDefaultDllDirectories()(flags);
}

BOOL WINAPI FailingSetDefaultDllDirectories(DWORD)
{
    return FALSE;
}

TEST(RestrictLibrarySearch, AsksForTheSystemFolderOnlyAndFallsBackWithoutIt)
{
    ASSERT_NE(LookUpSetDefaultDllDirectories(), nullptr) << "this Wine lacks the function";
    EXPECT_FALSE(RestrictLibrarySearch(nullptr));
    EXPECT_FALSE(RestrictLibrarySearch(&FailingSetDefaultDllDirectories));
    EXPECT_TRUE(RestrictLibrarySearch(&RecordingSetDefaultDllDirectories));
    EXPECT_EQ(flagsAsked, 0x800u); // LOAD_LIBRARY_SEARCH_SYSTEM32

    // Restricted, a library still comes only from the system folder.
    const ModuleGuard besideTheProgram(LoadSystemLibrary(L"foundation_test_strings.dll"));
    EXPECT_TRUE(besideTheProgram.IsEmpty());
    const ModuleGuard winsock(LoadSystemLibrary(L"ws2_32.dll"));
    ASSERT_FALSE(winsock.IsEmpty());
    EXPECT_EQ(FolderOf(winsock.Get()), SystemFolder());
}

TEST(TickCount64, FromKernel32WhereItHasOneElseFromGetTickCount)
{
    const TickCount64Function system =
        GetProcAddressAs<TickCount64Function>(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64");
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(TickCount64Of(GetModuleHandleW(L"kernel32.dll")), system);
    const ULONGLONG before = system();
    const ULONGLONG looked = kdmGetTickCount64Import();
    EXPECT_LE(before, looked);
    EXPECT_LE(looked, system());

    // A module without the function, as kernel32 is on XP: this system's GetTickCount, extended.
    const DWORD before32 = GetTickCount();
    const ULONGLONG fallback = TickCount64Of(GetModuleHandleW(nullptr))();
    EXPECT_LE(before32, fallback);
    EXPECT_LE(fallback, GetTickCount());
}

// Successive readings of a 32-bit count through two wraps, and the 64-bit count each must give.
struct TickReading {
    DWORD count;
    ULONGLONG extended;
};
const TickReading kTickReadings[] = {{0x00000010u, 0x00000010u},  {0xFFFFFF00u, 0xFFFFFF00u},
                                     {0xFFFFFF00u, 0xFFFFFF00u},  {0x00000005u, 0x100000005u},
                                     {0x7FFFFFFFu, 0x17FFFFFFFu}, {0xFFFFFFFFu, 0x1FFFFFFFFu},
                                     {0x00000000u, 0x200000000u}};
size_t tickReading = 0;

DWORD WINAPI ScriptedTickCount()
{
    return kTickReadings[tickReading].count;
}

TEST(TickCount64, ExtendedCountKeepsRisingAcrossTheWrap)
{
    volatile LONGLONG state = 0;
    for (tickReading = 0; tickReading < sizeof(kTickReadings) / sizeof(kTickReadings[0]);
         ++tickReading) {
        EXPECT_EQ(ExtendTickCount(&ScriptedTickCount, &state), kTickReadings[tickReading].extended)
            << "reading " << tickReading;
    }
}

} // namespace
