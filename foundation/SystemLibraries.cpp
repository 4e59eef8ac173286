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

// The side-by-side store's name for the common controls 6 (the name part of an assembly's
// encoded identity, which runs up to the first comma).
const wchar_t kCommonControlsAssembly[] = L"Microsoft.Windows.Common-Controls";

// Whether `path`, made a full path first (so that "..", "." and forward slashes cannot lead out),
// lies in the folder `folder` (a full path ending with a backslash) or below it. Compared without
// regard to case, as the file system compares names.
bool IsInFolder(const wchar_t* path, const wchar_t* folder)
{
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    const int folderLength = lstrlenW(folder);
    if (length == 0 || length >= MAX_PATH || static_cast<int>(length) <= folderLength) {
        return false;
    }
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, full, folderLength, folder,
                          folderLength) == CSTR_EQUAL;
}

// Whether assembly `index` of `context` is the common controls that Windows installed in its
// side-by-side store: the assembly's name is the common controls', its manifest lies in the
// store (the system's Windows folder's WinSxS) and its files in a folder of the store's own. An
// application's own manifest (the context's root assembly) or an assembly beside the application
// may take the name, but neither lies in the store. False when the context cannot tell. Raises
// only when memory runs out.
bool IsCommonControlsOfTheStore(HANDLE context, DWORD index)
{
    SIZE_T needed = 0;
    QueryActCtxW(0, context, &index, AssemblyDetailedInformationInActivationContext, nullptr, 0,
                 &needed);
    // The structure, the identity and two paths: a larger answer is none that Windows gives.
    if (needed < sizeof(ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION) || needed > 65536) {
        return false;
    }
    MemoryPH<BYTE> buffer(static_cast<std::uint32_t>(needed));
    if (!QueryActCtxW(0, context, &index, AssemblyDetailedInformationInActivationContext,
                      buffer.Data(), needed, &needed)) {
        return false;
    }
    const auto* const assembly =
        reinterpret_cast<const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(buffer.Data());
    const wchar_t* const identity = assembly->lpAssemblyEncodedAssemblyIdentity;
    const wchar_t* const folderName = assembly->lpAssemblyDirectoryName;
    if (identity == nullptr || assembly->lpAssemblyManifestPath == nullptr ||
        folderName == nullptr || folderName[0] == L'\0' ||
        std::wcspbrk(folderName, L"\\/:") != nullptr || lstrcmpW(folderName, L".") == 0 ||
        lstrcmpW(folderName, L"..") == 0) {
        return false;
    }
    const wchar_t* const comma = std::wcschr(identity, L',');
    const int nameLength =
        comma != nullptr ? static_cast<int>(comma - identity) : lstrlenW(identity);
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, identity, nameLength,
                       kCommonControlsAssembly, -1) != CSTR_EQUAL) {
        return false;
    }
    wchar_t store[MAX_PATH] = {};
    const UINT windowsLength = GetSystemWindowsDirectoryW(store, MAX_PATH);
    const wchar_t* const storeName =
        windowsLength > 0 && store[windowsLength - 1] == L'\\' ? L"WinSxS\\" : L"\\WinSxS\\";
    if (windowsLength == 0 || windowsLength + lstrlenW(storeName) >= MAX_PATH) {
        return false;
    }
    lstrcatW(store, storeName);
    return IsInFolder(assembly->lpAssemblyManifestPath, store);
}

// True for comctl32.dll when the calling thread's activation context redirects it to the common
// controls of the side-by-side store (the common controls 6 that a manifest asks for), which the
// loader then takes from the store. A redirection to any other file is not followed: in the
// module the context may be the host's, and XP takes the program's context from a manifest file
// beside it before its embedded one, so a manifest dropped into the Downloads folder could claim
// comctl32.dll as a file of its own (or name its own assembly as the common controls) and send
// the name to a library beside it. Never throws.
bool IsCommonControlsOfTheContext(const wchar_t* name)
{
    if (lstrcmpiW(name, L"comctl32.dll") != 0) {
        return false;
    }
    ACTCTX_SECTION_KEYED_DATA data{};
    data.cbSize = sizeof(data);
    if (!FindActCtxSectionStringW(FIND_ACTCTX_SECTION_KEY_RETURN_HACTCTX, nullptr,
                                  ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, name, &data)) {
        return false;
    }
    // The flag hands over a reference to the context that holds the redirection (null stands for
    // the process's default context, which QueryActCtxW reads for null too).
    const ActivationContextGuard context(data.hActCtx);
    try {
        return IsCommonControlsOfTheStore(data.hActCtx, data.ulAssemblyRosterIndex);
    } catch (...) {
        return false;
    }
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
