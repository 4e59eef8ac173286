#include "download/StartDownload.h"

#include "app/DialogServices.h"
#include "download/DownloadJob.h"
#include "download/DownloadWorker.h"
#include "download/Platform.h"
#include "download/TargetFile.h"
#include "net/ConnectivityProbe.h"
#include "resources/StringIds.h"

namespace {

void ShowStartError(const DownloadJob& job, const MStringEx<wchar_t>& text)
{
    CenteredMessageBox(job.dialog, text, job.internalName, MB_OK | MB_ICONERROR);
}

} // namespace

bool StartDownload(HWND dialog)
{
    MSmartPtr<DownloadJob> job(new DownloadJob(dialog));

    if (!IsHostReachable(ResourceString(IDS_DOWNLOAD_ADDRESS))) {
        ShowStartError(*job, FormattedResourceString(IDS_SITE_UNREACHABLE, job->productName,
                                                     job->internalName));
        return false;
    }
    try {
        SelectPlatform(*job);
    } catch (const UnsupportedSystem& refusal) {
        ShowUnsupportedSystem(refusal.Code(), *job);
        return false;
    }
    SetDlgItemTextW(dialog, IDC_SETUP_TITLE, SetupTitle(*job).Data());
    if (ChooseTargetFile(*job) != TargetFileOutcome::Created) {
        return false;
    }

    // The worker owns the job from here on; when the thread cannot be started, the job (and with
    // it the file handle) is released here and the empty file stays on disk.
    DownloadJob* const handedOver = job.Release();
    if (!StartDownloadWorker(handedOver)) {
        delete handedOver;
        return false;
    }
    return true;
}
