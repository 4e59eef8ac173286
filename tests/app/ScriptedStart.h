// A start sequence that a dialog test scripts. Linking ScriptedStart.cpp into a test program
// replaces the program's StartDownload (the linker then takes no StartDownload from the program
// library), so the real dialog procedure runs with a start whose outcome the test chooses.
#ifndef KDM_TESTS_APP_SCRIPTEDSTART_H
#define KDM_TESTS_APP_SCRIPTEDSTART_H

#include <windows.h>

namespace kdm_test {

enum class StartOutcome { Running, Failed, Throws };

struct StartScript {
    StartOutcome outcome = StartOutcome::Running;
    // What the start saw, for the test to check afterwards.
    LONG calls = 0;
    bool sawStandaloneMode = false;
    const wchar_t* sawInstallerOsVersion = nullptr;
    HINSTANCE sawModuleInstance = nullptr;
};

// Read and written by the dialog thread during a run, by the test before and after it.
extern StartScript startScript;

} // namespace kdm_test

#endif
