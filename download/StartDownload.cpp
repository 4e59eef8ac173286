#include "download/StartDownload.h"

// The download orchestration (platform, target file, worker) is not built yet: until it is, a
// start ends the run at once, as a start abandoned by the user does.
bool StartDownload(HWND)
{
    return false;
}
