#include "tests/app/ScriptedStart.h"

#include <stdexcept>

#include "app/AppState.h"
#include "download/StartDownload.h"

namespace kdm_test {
StartScript startScript;
}

bool StartDownload(HWND)
{
    using kdm_test::startScript;
    InterlockedIncrement(&startScript.calls);
    startScript.sawStandaloneMode = standaloneMode;
    startScript.sawInstallerOsVersion = installerOsVersion;
    startScript.sawModuleInstance = moduleInstance;
    switch (startScript.outcome) {
    case kdm_test::StartOutcome::Running:
        return true;
    case kdm_test::StartOutcome::Throws:
        throw std::runtime_error("scripted failure");
    default:
        return false;
    }
}
