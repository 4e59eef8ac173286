// Entry point of KestruneDownloadManager.exe. The previous instance, the command line and the
// show command are ignored.
#include <windows.h>

#include "app/EntryPoints.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    return RunProgram(instance);
}
