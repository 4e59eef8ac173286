#include "foundation/SystemLibraries.h"

#include <delayimp.h>

#include <cwchar>

const wchar_t* const kDelayLoadedLibraries[4] = {L"comctl32.dll", L"version.dll", L"wininet.dll",
                                                 L"ws2_32.dll"};

// In the order a run loads them. Each lies in the system folder of every Windows from XP on but
// bcrypt.dll (Vista and later) and cryptbase.dll (7 and later), which nothing loads before those.
const wchar_t* const kLibrariesLoadedByName[5] = {
    // The visual styles library loads its drawing helpers by name when it first draws a control.
    L"msimg32.dll",
    // Imports of the cryptographic provider: the provider is loaded by its path, and the loader
    // then searches the process's own folder first for the libraries it imports.
    L"bcrypt.dll", L"crypt32.dll",
    // CryptAcquireContextW loads the cryptographic provider by the file name that its
    // registration gives, which need not be a full path.
    L"rsaenh.dll",
    // Windows 7's advapi32 forwards its random-number and legacy encryption functions to it; the
    // loader resolves a forwarder by the library's name. Wine has no such library, so no trace
    // here shows it.
    L"cryptbase.dll"};

namespace {

// Room for the longest path a module can have (the "\\?\" form).
const std::uint32_t kModulePathCapacity = 40000;

// LOAD_LIBRARY_SEARCH_SYSTEM32; the SDK defines it only for Windows 7 and later.
const DWORD kLibrarySearchSystem32 = 0x00000800;

// True for comctl32.dll when the calling thread's activation context redirects it: to the
// common controls 6 of the manifest, which the loader takes from the side-by-side store. Any other
// name that a context redirects is not followed: in the module the context is the host's, and XP
// takes the program's context from a manifest file beside it before its embedded one, so either
// could send a library to a file of its choosing.
bool IsCommonControlsOfTheContext(const wchar_t* name)
{
    if (lstrcmpiW(name, L"comctl32.dll") != 0) {
        return false;
    }
    ACTCTX_SECTION_KEYED_DATA data{};
    data.cbSize = sizeof(data);
    return FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, name,
                                    &data) != FALSE;
}

// The delay-load helper asks before it loads a library: the library then comes from
// LoadSystemLibrary. A null answer would let the helper load the name with the plain search, so
// DelayLoadedLibraries has loaded every one of them before the first call; this only takes
// another reference. Writes no state and cannot throw: it runs inside the helper.
FARPROC WINAPI NotifyDelayLoad(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) {
        return nullptr;
    }
    wchar_t name[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, info->szDll, -1, name, MAX_PATH) == 0) {
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(LoadSystemLibrary(name));
}

} // namespace

// The delay-load helper's notification hook: Visual C++ declares it const, MinGW-w64 does not.
extern "C" {
#if defined(_MSC_VER)
const
#endif
    PfnDliHook __pfnDliNotifyHook2 = &NotifyDelayLoad;
}

SetDefaultDllDirectoriesFunction LookUpSetDefaultDllDirectories()
{
    return GetProcAddressAs<SetDefaultDllDirectoriesFunction>(GetModuleHandleW(L"kernel32.dll"),
                                                              "SetDefaultDllDirectories");
}

bool RestrictLibrarySearch(SetDefaultDllDirectoriesFunction setDefaultDllDirectories)
{
    if (setDefaultDllDirectories != nullptr && setDefaultDllDirectories(kLibrarySearchSystem32)) {
        return true;
    }
    SetDllDirectoryW(L"");
    return false;
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    if (IsCommonControlsOfTheContext(name)) {
        return LoadLibraryW(name);
    }
    wchar_t path[MAX_PATH] = {};
    const UINT folderLength = GetSystemDirectoryW(path, MAX_PATH);
    const size_t nameLength = std::wcslen(name);
    // The folder, a backslash, the name and the terminator must fit.
    if (folderLength == 0 || folderLength + 1 + nameLength + 1 > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    path[folderLength] = L'\\';
    std::wmemcpy(path + folderLength + 1, name, nameLength + 1);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE ThisModule(bool takeReference)
{
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                        (takeReference ? 0 : GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&kDelayLoadedLibraries), &module)) {
        return nullptr;
    }
    return module;
}

MStringEx<wchar_t> ModuleFilePath(HMODULE module)
{
    MemoryPH<wchar_t> path(kModulePathCapacity);
    const DWORD length = GetModuleFileNameW(module, path.Data(), path.Count());
    // A path that fills the buffer was cut, and XP does not terminate it then.
    if (length == 0 || length >= path.Count()) {
        return MStringEx<wchar_t>();
    }
    return MStringEx<wchar_t>(path.Data());
}

PreloadedLibraries::PreloadedLibraries()
{
    for (size_t i = 0; i < sizeof(libraries) / sizeof(libraries[0]); ++i) {
        libraries[i].Reset(LoadSystemLibrary(kLibrariesLoadedByName[i]));
    }
}

ManifestActivation::ManifestActivation()
{
    const HMODULE module = ThisModule(false);
    if (module == nullptr) {
        return;
    }
    try {
        const MStringEx<wchar_t> path = ModuleFilePath(module);
        if (path.IsEmpty()) {
            return;
        }
        ACTCTXW request{};
        request.cbSize = sizeof(request);
        request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.lpSource = path.Data();
        request.hModule = module;
        request.lpResourceName = MAKEINTRESOURCEW(1);
        context.Reset(CreateActCtxW(&request));
    } catch (...) {
        return;
    }
    ULONG_PTR cookie = 0;
    if (!context.IsEmpty() && ActivateActCtx(context.Get(), &cookie)) {
        activation.Reset(cookie);
    }
}

DelayLoadedLibraries::DelayLoadedLibraries()
{
    for (size_t i = 0; i < sizeof(libraries) / sizeof(libraries[0]); ++i) {
        const HMODULE library = LoadSystemLibrary(kDelayLoadedLibraries[i]);
        const DWORD error = GetLastError();
        libraries[i].Reset(library);
        if (library == nullptr && failedLibrary == nullptr) {
            failedLibrary = kDelayLoadedLibraries[i];
            failureError = error;
        }
    }
}

bool DelayLoadedLibraries::IsLoaded(const wchar_t* name) const
{
    for (size_t i = 0; i < sizeof(libraries) / sizeof(libraries[0]); ++i) {
        if (lstrcmpiW(name, kDelayLoadedLibraries[i]) == 0) {
            return !libraries[i].IsEmpty();
        }
    }
    return false;
}
