// Loading of system libraries. The program is started from the user's Downloads folder, where a
// web page can drop files, and Windows looks for a library that is not one of its known system
// libraries in the program's own folder first. So the program imports statically only known
// system libraries, delay-loads the others, and loads every library, its own and the delay-loaded
// ones, through LoadSystemLibrary: from the system folder and never from the program's folder.
#ifndef KDM_FOUNDATION_SYSTEMLIBRARIES_H
#define KDM_FOUNDATION_SYSTEMLIBRARIES_H

#include <windows.h>

#include "foundation/Handles.h"
#include "foundation/StringEx.h"

// The libraries that the binaries delay-load (the build links them through delay-load import
// libraries). Each is loaded on the first call of one of its functions.
extern const wchar_t* const kDelayLoadedLibraries[4];

// SetDefaultDllDirectories: Windows 8 and later, and Vista and 7 with the 2011 loader update.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD directoryFlags);

// SetDefaultDllDirectories of this system's kernel32, or null where it is missing.
SetDefaultDllDirectoriesFunction LookUpSetDefaultDllDirectories();

// The program's first step, before anything loads a library; the module never calls it, since the
// search settings belong to its host. With `setDefaultDllDirectories` every later load of this
// process searches the system folder only (dependencies included) and the function returns true.
// Without it (XP, Vista and 7 without the update), or when it fails, SetDllDirectoryW(L"") takes
// the current folder out of the search and false is returned. Libraries that Windows' own
// libraries load by name still follow the plain search there (see PreloadedLibraries).
bool RestrictLibrarySearch(SetDefaultDllDirectoriesFunction setDefaultDllDirectories);

// Loads the system library `name` (a file name such as L"Iphlpapi.dll") by its full path in the
// system folder, with LOAD_WITH_ALTERED_SEARCH_PATH so that its own dependencies come from there
// too. The one exception is comctl32.dll where the calling thread's activation context redirects
// it to the common controls of the side-by-side store (the common controls 6 that the manifest
// asks for: the program's own, or in the module the context that the module activates, else the
// host's): that name is loaded by name, and the loader takes it from the store. A redirection of
// any other name, or of comctl32.dll to a file outside the store, is not followed.
// Null on failure, with the last error set. Never throws; any thread.
HMODULE LoadSystemLibrary(const wchar_t* name);

// GetProcAddress's result as the function's own type; null when the module lacks the name.
template <typename Function> Function GetProcAddressAs(HMODULE module, const char* name)
{
    // Through a plain pointer-to-function: the conversion between unrelated function types stays
    // explicit, and compilers warn on a direct cast from FARPROC.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The module this code was linked into (the DLL when a host loaded it, else the executable),
// found from an address inside it. With takeReference one more reference is taken, which the
// caller releases with FreeLibrary (or FreeLibraryAndExitThread). Null when it cannot be found.
// Never throws; any thread.
HMODULE ThisModule(bool takeReference);

// The full path of `module`'s file (null: the process's executable), long paths included; empty
// when it cannot be read whole. Raises only when memory runs out; any thread.
MStringEx<wchar_t> ModuleFilePath(HMODULE module);

// The system libraries that Windows' own libraries load by name during a run, after the program
// has started: where the search cannot be restricted, the program's folder is searched for them
// first. Taken from a loader trace of whole runs of the program and of the module (the dialog, the
// Save As dialog, the download and the hash); the reason for each is given where they are defined.
extern const wchar_t* const kLibrariesLoadedByName[5];

// Holds each of kLibrariesLoadedByName, loaded by LoadSystemLibrary, for its lifetime, so that a
// load of the same name by name finds the one loaded from the system folder instead of searching.
// A library that this system lacks is left out. The program holds them for its whole run where
// RestrictLibrarySearch returned false; the module for each run, since it cannot tell how its host
// searches. Never throws.
class PreloadedLibraries {
public:
    PreloadedLibraries();

private:
    ModuleGuard libraries[sizeof(kLibrariesLoadedByName) / sizeof(kLibrariesLoadedByName[0])];
};

// Activates on the calling thread, for its lifetime, an activation context made from this module's
// manifest (resource 1, which asks for common controls 6). Windows applies resource 1 by itself
// to a process's executable only: the module, in an installer whose manifest may not ask for
// common controls 6, activates it for its dialog (and the libraries it loads for it) and its
// message boxes; in the program it is the same manifest as the process's. Where the context cannot
// be made or activated, nothing is activated and the process's context applies. Never throws.
class ManifestActivation {
public:
    ManifestActivation();

private:
    ActivationContextGuard context;
    // Declared after the context: deactivated before it is released.
    ActivationGuard activation;
};

// Holds one reference to each delay-loaded library for the length of a run. Taken before the
// first call into any of them: a library that cannot be loaded from the system folder then ends
// the run cleanly (AllLoaded false) instead of failing inside the delay-load helper, which would
// raise a structured exception that ends the process.
class DelayLoadedLibraries {
public:
    DelayLoadedLibraries();

    bool AllLoaded() const { return failedLibrary == nullptr; }
    // The first of kDelayLoadedLibraries that could not be loaded, or null when all were.
    const wchar_t* FailedLibrary() const { return failedLibrary; }
    // The error that the load of FailedLibrary() failed with; 0 when all were loaded.
    DWORD FailureError() const { return failureError; }
    // Whether `name`, one of kDelayLoadedLibraries, was loaded: only then may its functions be
    // called, since a call into one that cannot be loaded ends the process.
    bool IsLoaded(const wchar_t* name) const;

private:
    ModuleGuard libraries[sizeof(kDelayLoadedLibraries) / sizeof(kDelayLoadedLibraries[0])];
    const wchar_t* failedLibrary = nullptr;
    DWORD failureError = 0;
};

#endif
