// Entry point of KestruneDownloadManager.exe. The previous instance, the command line and the
// show command are ignored.
#include <windows.h>

#include "app/EntryPoints.h"
#include "foundation/SystemLibraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // First, before anything loads a library: the program runs from the Downloads folder.
    return StartProgram(instance, LookUpSetDefaultDllDirectories());
}
