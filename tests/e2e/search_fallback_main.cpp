// The program as it starts on a system without SetDefaultDllDirectories (XP, and Vista and 7
// without the 2011 loader update): the same run as KestruneDownloadManager.exe, with the
// search-restriction step told that the function is missing.
#include <windows.h>

#include "app/EntryPoints.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    return StartProgram(instance, nullptr);
}
