#include "download/DownloadWorker.h"

#include <shellapi.h>

#include <memory>

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

// Compares `digest` (empty when the hash was stopped) with the server's hash code; when they
// differ, asks IDS_HASH_MISMATCH. Raises what decoding the hash code or showing the question
// raises.
Verdict JudgeDigest(DownloadJob& job, const MemoryPH<unsigned char>& digest,
                    const MemoryPH<unsigned char>& hashCode)
{
    // A hash stopped by a cancel leaves no digest, which no hash code equals.
    if (!digest.NotEquals(DecodeHashCode(hashCode))) {
        return Verdict::Install;
    }
    return AskYesNo(job, FormattedResourceString(IDS_HASH_MISMATCH, job.internalName,
                                                 job.internalName)) == IDYES
               ? Verdict::Install
               : Verdict::DoNotInstall;
}

void ShowVerifyingStage(const DownloadJob& job)
{
    SetWindowTextW(GetDlgItem(job.dialog, IDC_STAGE), ResourceString(IDS_VERIFYING).Data());
    SetWindowTextW(bytesDoneLabel, MStringEx<wchar_t>::FromUInt64(0).Data());
}

MStringEx<wchar_t> ContainerName(const DownloadJob& job)
{
    return MStringEx<wchar_t>::Format(L"%s %s %s", job.productName, job.productVersion,
                                      job.internalName);
}

// Hashes the downloaded file and compares it with the server's hash code; when they differ, asks
// IDS_HASH_MISMATCH while the authenticator still exists. All of it runs inside one guard: every
// exception, building and showing that question included, becomes Failed, and the caller asks
// IDS_VERIFY_FAILED instead.
Verdict VerifyDownload(DownloadJob& job, const MemoryPH<unsigned char>& hashCode)
{
    try {
        ShowVerifyingStage(job);
        MAAuthenticator authenticator(ContainerName(job));
        LocalObserver observer(job.dialog, cancelEvent.Get());
        MemoryPH<unsigned char> digest;
        authenticator.HashFile(job.file.Get(), digest, observer);
        return JudgeDigest(job, digest, hashCode);
    } catch (...) {
        return Verdict::Failed;
    }
}

// A copy of the public key built into this module under IDR_PACKAGE_KEY_FIRST + `index` (a
// CryptoAPI PUBLICKEYBLOB); empty when there is none.
MemoryPH<unsigned char> PackageKey(UINT index)
{
    MemoryPH<unsigned char> key;
    const HMODULE self = ThisModule(false);
    const HRSRC info =
        self == nullptr
            ? nullptr
            : FindResourceW(self, MAKEINTRESOURCEW(IDR_PACKAGE_KEY_FIRST + index), RT_RCDATA);
    const HGLOBAL loaded = info == nullptr ? nullptr : LoadResource(self, info);
    void* const bytes = loaded == nullptr ? nullptr : LockResource(loaded);
    if (bytes != nullptr) {
        key.AssignFrom(ShellMemory<unsigned char>(SizeofResource(self, info),
                                                  static_cast<unsigned char*>(bytes)));
    }
    return key;
}

// True when the build carries at least one of the maker's public keys: every package must then
// carry the maker's signature before anything else is decided.
bool HasPackageKeys()
{
    return PackageKey(0).Count() != 0;
}

// The outcome of the signed build's single pass over the file.
struct SignedCheck {
    bool signatureValid = false;
    // The SHA-1 digest for the hash-code verdict; absent (false) when the authenticator that
    // computes it could not be made.
    bool haveSha1 = false;
    MemoryPH<unsigned char> sha1;
};

// True when `signatureHeader` (the header's UTF-16 bytes) holds a signature over `sha256` by
// one of the keys built in.
bool IsSignedByMaker(HCRYPTPROV provider, const MemoryPH<unsigned char>& sha256,
                     const MemoryPH<unsigned char>& signatureHeader)
{
    MemoryPH<unsigned char> headerBytes(signatureHeader);
    MemoryPH<unsigned char> signature;
    if (!DecodeBase64(WideView(headerBytes), signature)) {
        return false;
    }
    for (UINT index = 0;; ++index) {
        const MemoryPH<unsigned char> key = PackageKey(index);
        if (key.Count() == 0) {
            return false;
        }
        if (IsSha256SignedBy(provider, sha256, signature, key)) {
            return true;
        }
    }
}

// Reads the file once for its SHA-256 digest, which the maker's signature is checked against,
// and its SHA-1 digest in the authenticator's container, which the hash code is compared with.
// A signature that is missing, malformed or by no key built in, and every failure of the pass
// (no provider, a read error, a stop by the observer), leave signatureValid false.
SignedCheck CheckSignedDownload(DownloadJob& job, const MemoryPH<unsigned char>* signatureHeader)
{
    SignedCheck check;
    if (signatureHeader == nullptr) {
        return check;
    }
    try {
        ShowVerifyingStage(job);
        const CryptProviderGuard aes = AcquireAesVerificationContext();
        std::unique_ptr<MAAuthenticator> authenticator;
        try {
            authenticator.reset(new MAAuthenticator(ContainerName(job)));
        } catch (...) {
            // The hash-code verdict becomes IDS_VERIFY_FAILED; the signature is judged all the
            // same.
        }
        FileDigest digests[2] = {
            {aes.Get(), kAlgSha256, MemoryPH<unsigned char>()},
            {authenticator ? authenticator->Provider() : 0, CALG_SHA1, MemoryPH<unsigned char>()}};
        LocalObserver observer(job.dialog, cancelEvent.Get());
        if (!HashFileDigests(job.file.Get(), digests, authenticator ? 2 : 1, observer)) {
            return check;
        }
        check.signatureValid = IsSignedByMaker(aes.Get(), digests[0].value, *signatureHeader);
        check.haveSha1 = static_cast<bool>(authenticator);
        Exchange(check.sha1, digests[1].value);
    } catch (...) {
        check.signatureValid = false;
    }
    return check;
}

// Removes a package that the maker did not sign: emptied first, so that nothing of it remains
// should the removal fail, then closed and deleted.
void RemoveUnsignedPackage(DownloadJob& job)
{
    LARGE_INTEGER start{};
    if (SetFilePointerEx(job.file.Get(), start, nullptr, FILE_BEGIN)) {
        SetEndOfFile(job.file.Get());
    }
    job.file.Close();
    DeleteFileW(job.filePath.Data());
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

// The final stage of a build with the maker's keys, under completionLock: the signature is
// judged first, and a package without the maker's valid signature is removed and never launched;
// a signed one goes on to the hash-code verdict and its questions.
int CompleteSignedDownload(DownloadJob& job, HeaderDictionary& headers,
                           const MemoryPH<unsigned char>* hashCode)
{
    const SignedCheck check = CheckSignedDownload(job, FindHeader(headers, kSignatureHeaderName));
    if (!check.signatureValid) {
        RemoveUnsignedPackage(job);
        CenteredMessageBox(job.dialog,
                           FormattedResourceString(IDS_NOT_SIGNED, job.productName,
                                                   job.internalName, job.productName),
                           job.internalName, MB_OK | MB_ICONERROR);
        return 0;
    }
    Verdict verdict = Verdict::Install;
    if (hashCode == nullptr) {
        verdict = AskYesNo(job, ResourceString(IDS_NO_HASH_CODE)) == IDYES ? Verdict::Install
                                                                           : Verdict::DoNotInstall;
    } else if (!check.haveSha1) {
        verdict = Verdict::Failed;
    } else {
        try {
            verdict = JudgeDigest(job, check.sha1, *hashCode);
        } catch (...) {
            verdict = Verdict::Failed;
        }
    }
    if (verdict == Verdict::Failed) {
        verdict =
            AskYesNo(job, FormattedResourceString(IDS_VERIFY_FAILED, job.internalName)) == IDYES
                ? Verdict::Install
                : Verdict::DoNotInstall;
    }
    return verdict == Verdict::Install ? LaunchInstaller(job) : 0;
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
    if (HasPackageKeys()) {
        return CompleteSignedDownload(job, headers, hashCode);
    }
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
    if (HasPackageKeys()) {
        // Built whole, so that its index covers both names.
        headers.AssignList(HeaderDictionary{
            new HeaderDictionary::PairType(MStringEx<wchar_t>(kHashCodeHeaderName)),
            new HeaderDictionary::PairType(MStringEx<wchar_t>(kSignatureHeaderName))});
    }
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
