#include "download/DownloadWorker.h"

#include <shellapi.h>

#include "app/DialogServices.h"
#include "crypt/Crypt.h"
#include "download/Platform.h"
#include "foundation/SystemLibraries.h"
#include "net/HttpTransfer.h"
#include "resources/StringIds.h"

namespace {

// How the verification of a complete download, and the question it may ask, came out.
enum class Verdict { Install, DoNotInstall, Failed };

int AskYesNo(const DownloadJob& job, const MStringEx<wchar_t>& text)
{
    return CenteredMessageBox(job.dialog, text, job.internalName, MB_YESNO | MB_ICONEXCLAMATION);
}

// Hashes the downloaded file and compares it with the server's hash code; when they differ, asks
// IDS_HASH_MISMATCH while the authenticator still exists. All of it runs inside one guard: every
// exception, building and showing that question included, becomes Failed, and the caller asks
// IDS_VERIFY_FAILED instead.
Verdict VerifyDownload(DownloadJob& job, const MemoryPH<unsigned char>& hashCode)
{
    try {
        SetWindowTextW(GetDlgItem(job.dialog, IDC_STAGE), ResourceString(IDS_VERIFYING).Data());
        SetWindowTextW(bytesDoneLabel, MStringEx<wchar_t>::FromUInt64(0).Data());
        MAAuthenticator authenticator(MStringEx<wchar_t>::Format(
            L"%s %s %s", job.productName, job.productVersion, job.internalName));
        LocalObserver observer(job.dialog, cancelEvent.Get());
        MemoryPH<unsigned char> digest;
        // A hash stopped by a cancel leaves no digest, which no hash code equals.
        if (authenticator.HashFile(job.file.Get(), digest, observer) &&
            !digest.NotEquals(DecodeHashCode(hashCode))) {
            return Verdict::Install;
        }
        return AskYesNo(job, FormattedResourceString(IDS_HASH_MISMATCH, job.internalName,
                                                     job.internalName)) == IDYES
                   ? Verdict::Install
                   : Verdict::DoNotInstall;
    } catch (...) {
        return Verdict::Failed;
    }
}

// Closes the file and starts the installer package. Returns 1 when it was launched, else 0 after
// IDS_LAUNCH_FAILED.
int LaunchInstaller(DownloadJob& job)
{
    // The file was created without sharing: the installer can open it only once it is closed.
    job.file.Close();
    if (installerOsVersion != nullptr) {
        CenteredMessageBox(job.dialog, ResourceString(IDS_INSTALLER_WILL_CLOSE), job.internalName,
                           MB_OK);
    }
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"open";
    execute.lpFile = job.filePath.Data();
    execute.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&execute)) {
        return 1;
    }
    CenteredMessageBox(job.dialog, ResourceString(IDS_LAUNCH_FAILED), job.internalName,
                       MB_OK | MB_ICONERROR);
    return 0;
}

// The final stage, under completionLock: the cancel test, the verification and its questions,
// and the launch. Returns the run's result.
int CompleteDownload(DownloadJob& job, HeaderDictionary& headers)
{
    EnableWindow(cancelButton, FALSE);
    const CriticalSectionGuard lock = CriticalSectionGuard::Enter(completionLock);

    if (WaitForSingleObject(cancelEvent.Get(), 0) != WAIT_TIMEOUT) {
        CenteredMessageBox(
            job.dialog,
            FormattedResourceString(IDS_CANCELLED_AFTER_DOWNLOAD, job.productName, job.productName),
            job.internalName, MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    const MemoryPH<unsigned char>* const hashCode = FindHeader(headers, kHashCodeHeaderName);
    if (hashCode == nullptr) {
        if (AskYesNo(job, ResourceString(IDS_NO_HASH_CODE)) != IDYES) {
            return 0;
        }
        return LaunchInstaller(job);
    }
    switch (VerifyDownload(job, *hashCode)) {
    case Verdict::Install:
        break;
    case Verdict::DoNotInstall:
        return 0;
    case Verdict::Failed:
        if (AskYesNo(job, FormattedResourceString(IDS_VERIFY_FAILED, job.internalName)) != IDYES) {
            return 0;
        }
        break;
    }
    return LaunchInstaller(job);
}

// The run from the request to its result. Exceptions outside the verification end the run like a
// failed transfer: the caller posts 0 (the lock guard has left the lock by then).
int RunDownload(DownloadJob& job)
{
    const MStringEx<wchar_t> requestHeaders = RequestHeaderBlock(
        job.productName, job.productVersion, job.osName, MStringEx<wchar_t>(BitnessText()));
    ResetEvent(cancelEvent.Get());
    SetWindowTextW(bytesDoneLabel, ResourceString(IDS_CONNECTING).Data());
    SetWindowTextW(bytesTotalLabel, L"...");
    HeaderDictionary headers{
        new HeaderDictionary::PairType(MStringEx<wchar_t>(kHashCodeHeaderName))};
    if (!HttpDownload(ResourceString(IDS_DOWNLOAD_ADDRESS), requestHeaders, job.internalName,
                      job.file.Get(), job.dialog, WM_DOWNLOAD_PROGRESS, cancelEvent.Get(),
                      headers)) {
        return 0;
    }
    return CompleteDownload(job, headers);
}

// Runs the job, posts the end message once and deletes the job, in that order.
void RunAndEnd(DownloadJob* jobPointer)
{
    // The worker's message boxes are drawn by the same common controls as the dialog.
    const ManifestActivation manifest;
    MSmartPtr<DownloadJob> job(jobPointer);
    int result = 0;
    try {
        result = RunDownload(*job);
    } catch (...) {
        result = 0;
    }
    PostMessageW(job->dialog, WM_DOWNLOAD_DONE, static_cast<WPARAM>(result), 0);
}

} // namespace

MStringEx<wchar_t> RequestHeaderBlock(const MStringEx<wchar_t>& productName,
                                      const MStringEx<wchar_t>& productVersion,
                                      const MStringEx<wchar_t>& osName,
                                      const MStringEx<wchar_t>& bitness)
{
    return MStringEx<wchar_t>::Format(kRequestHeaderFormat, productName,
                                      productVersion.LeftOfChar(L'.'), osName, bitness);
}

DWORD WINAPI DownloadWorker(void* parameter)
{
    try {
        RunAndEnd(static_cast<DownloadJob*>(parameter));
    } catch (...) {
    }
    // The reference that StartDownloadWorker took for this thread is released by the very call
    // that ends it: no code of the module runs after it.
    const HMODULE self = ThisModule(false);
    if (self != nullptr) {
        FreeLibraryAndExitThread(self, 0);
    }
    return 0;
}

bool StartDownloadWorker(DownloadJob* job)
{
    // Taken before the thread exists: the host may end the dialog and free the module as soon as
    // the start has returned, before the new thread has run a single instruction.
    const HMODULE reference = ThisModule(true);
    if (reference == nullptr) {
        return false;
    }
    const HANDLE worker = CreateThread(nullptr, 0, DownloadWorker, job, 0, nullptr);
    if (worker == nullptr) {
        FreeLibrary(reference);
        return false;
    }
    CloseHandle(worker);
    return true;
}
