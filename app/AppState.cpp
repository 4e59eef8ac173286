#include <windows.h>

#include "app/AppState.h"

bool standaloneMode = true;
const wchar_t* installerOsVersion = nullptr;
HICON dialogIcon = nullptr;

// Created when the program (or the module) initialises, before any entry point runs, and
// released when it ends. Defined in this order in one unit, so their lifetimes nest.
MHandle cancelEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
CRITICAL_SECTION completionLock;

namespace {

CRITICAL_SECTION* Initialized(CRITICAL_SECTION& section)
{
    InitializeCriticalSection(&section);
    return &section;
}

const CriticalSectionLifetime completionLockLifetime(Initialized(completionLock));

} // namespace
