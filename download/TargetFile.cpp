#include "download/TargetFile.h"

#include <shlobj.h>

#include "app/DialogServices.h"
#include "download/Platform.h"
#include "foundation/SystemLibraries.h"
#include "resources/StringIds.h"

// The full structure, reserved fields and FlagsEx included, which WINVER 0x0501 selects.
static_assert(sizeof(OPENFILENAMEW) == 88, "OPENFILENAMEW with its Windows 2000 fields");

namespace {

// FOLDERID_Downloads; the SDK defines it only for Windows Vista and later.
const GUID kDownloadsFolderId = {
    0x374de290, 0x123f, 0x4565, {0x91, 0x64, 0x39, 0xc4, 0x92, 0x5e, 0x46, 0x7b}};
// KF_FLAG_CREATE: the shell creates the folder when it is missing.
const DWORD kKnownFolderCreate = 0x8000;

using GetKnownFolderPathFunction = HRESULT(WINAPI*)(const GUID*, DWORD, HANDLE, wchar_t**);

const DWORD kSaveAsFlags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_ENABLEHOOK |
                           OFN_PATHMUSTEXIST | OFN_EXPLORER | OFN_DONTADDTORECENT;
static_assert(kSaveAsFlags == 0x2080826, "the Save As flags");

// Each filter is null-terminated and the list ends with a second null.
const wchar_t kSaveAsFilter[] = L"Microsoft Installer (*.msi)\0*.msi\0All Files\0*.*\0";

struct CoTaskMemRelease : NullIsEmpty<wchar_t*> {
    static BOOL Free(wchar_t* block)
    {
        CoTaskMemFree(block);
        return TRUE;
    }
};
using CoTaskMemGuard = ScopedRelease<CoTaskMemRelease>;

// The Downloads known folder, or empty when the shell does not have it (before Windows Vista)
// or cannot give it.
MStringEx<wchar_t> DownloadsKnownFolder()
{
    ModuleGuard shell(LoadSystemLibrary(L"Shell32.dll"));
    if (shell.IsEmpty()) {
        return MStringEx<wchar_t>();
    }
    const GetKnownFolderPathFunction getKnownFolderPath =
        GetProcAddressAs<GetKnownFolderPathFunction>(shell.Get(), "SHGetKnownFolderPath");
    if (getKnownFolderPath == nullptr) {
        return MStringEx<wchar_t>();
    }
    wchar_t* path = nullptr;
    const HRESULT result =
        getKnownFolderPath(&kDownloadsFolderId, kKnownFolderCreate, nullptr, &path);
    // The caller frees the path whether the call succeeded or not.
    CoTaskMemGuard pathGuard(path);
    if (FAILED(result)) {
        return MStringEx<wchar_t>();
    }
    return MStringEx<wchar_t>(path);
}

// The user's documents folder (created when missing), or empty.
MStringEx<wchar_t> DocumentsFolder()
{
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, nullptr,
                                SHGFP_TYPE_CURRENT, path))) {
        return MStringEx<wchar_t>();
    }
    return MStringEx<wchar_t>(path);
}

// Opens the file only when no file of that name exists.
HANDLE CreateNewExclusive(const MStringEx<wchar_t>& path)
{
    return CreateFileW(path.Data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool IsCreated(HANDLE file)
{
    return file != INVALID_HANDLE_VALUE && file != nullptr;
}

// Centres the Explorer-style frame (the parent of the hook's window) over the owner given in the
// request. Always returns 0 so that the dialog's default processing runs. Calls nothing that
// throws.
UINT_PTR CALLBACK SaveAsPlacementHook(HWND hookWindow, UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        const OPENFILENAMEW* const request = reinterpret_cast<const OPENFILENAMEW*>(lParam);
        if (request != nullptr) {
            CenterOverWindow(request->hwndOwner, GetParent(hookWindow));
        }
    }
    return 0;
}

void ShowCreateFileError(const DownloadJob& job, DWORD error)
{
    const MStringEx<wchar_t> text =
        FormattedResourceString(IDS_CANNOT_CREATE_FILE, job.productName, job.internalName,
                                job.filePath, MStringEx<wchar_t>::FromWin32Error(error));
    CenteredMessageBox(job.dialog, text, job.internalName, MB_ICONERROR);
}

} // namespace

MStringEx<wchar_t> DefaultDownloadFolder()
{
    MStringEx<wchar_t> folder = DownloadsKnownFolder();
    if (folder.IsEmpty()) {
        folder = DocumentsFolder();
    }
    // Leading backslashes stay: they belong to a network path (\\server\share).
    folder.TrimRight(L'\\');
    return folder;
}

MStringEx<wchar_t> JoinFolderAndName(const MStringEx<wchar_t>& folder,
                                     const MStringEx<wchar_t>& name)
{
    if (folder.IsEmpty()) {
        return name;
    }
    return folder + L"\\" + name;
}

bool IsNameTaken(const MStringEx<wchar_t>& path)
{
    WIN32_FIND_DATAW found{};
    const FindGuard search(FindFirstFileW(path.Data(), &found));
    return !search.IsEmpty();
}

MStringEx<wchar_t> FreeBaseName(const MStringEx<wchar_t>& base)
{
    if (!IsNameTaken(base + L".msi")) {
        return base;
    }
    for (int n = 1; n < 1000; ++n) {
        const MStringEx<wchar_t> candidate = MStringEx<wchar_t>::Format(L"%s (%d)", base, n);
        if (!IsNameTaken(candidate + L".msi")) {
            return candidate;
        }
    }
    return base;
}

MStringEx<wchar_t> WithMsiExtension(const MStringEx<wchar_t>& path)
{
    if (path.Extension().EqualsNoCase(MStringEx<wchar_t>(L"msi"))) {
        return path;
    }
    MStringEx<wchar_t> extended(path);
    extended.Trim(L'.');
    return extended + L".msi";
}

HANDLE CreateTargetFile(const MStringEx<wchar_t>& path, DWORD& error)
{
    HANDLE file = CreateNewExclusive(path);
    error = IsCreated(file) ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        // Attributes that cannot be read are not written back: clearing one bit of
        // INVALID_FILE_ATTRIBUTES would ask for every other attribute. A failure here or in the
        // deletion shows in the second creation.
        const DWORD attributes = GetFileAttributesW(path.Data());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            SetFileAttributesW(path.Data(),
                               attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
        DeleteFileW(path.Data());
        file = CreateNewExclusive(path);
        error = IsCreated(file) ? ERROR_SUCCESS : GetLastError();
    }
    return IsCreated(file) ? file : INVALID_HANDLE_VALUE;
}

void FillSaveAsRequest(OPENFILENAMEW& request, HWND owner, wchar_t* buffer,
                       const MStringEx<wchar_t>& title)
{
    request = OPENFILENAMEW{};
    request.lStructSize = sizeof(request);
    request.hwndOwner = owner;
    request.lpstrFilter = kSaveAsFilter;
    request.nFilterIndex = 1;
    request.lpstrFile = buffer;
    request.nMaxFile = SaveAsBufferLength;
    request.lpstrTitle = title.Data();
    request.Flags = kSaveAsFlags;
    request.lpfnHook = SaveAsPlacementHook;
}

bool AskSaveAsPath(HWND owner, const MStringEx<wchar_t>& title, const MStringEx<wchar_t>& proposal,
                   MStringEx<wchar_t>& chosen)
{
    MemoryPH<wchar_t> buffer(SaveAsBufferLength);
    // A proposal too long for the buffer (longer than any Windows path) is cut, not overrun.
    const std::uint32_t length =
        proposal.Length() < SaveAsBufferLength ? proposal.Length() : SaveAsBufferLength - 1;
    buffer.CopyRange(0, proposal, 0, length);
    buffer[length] = L'\0';
    OPENFILENAMEW request{};
    FillSaveAsRequest(request, owner, buffer.Data(), title);
    if (!GetSaveFileNameW(&request)) {
        return false;
    }
    chosen = MStringEx<wchar_t>(buffer, true);
    return true;
}

TargetFileOutcome ChooseTargetFile(DownloadJob& job)
{
    const MStringEx<wchar_t> proposal =
        FreeBaseName(JoinFolderAndName(DefaultDownloadFolder(), SetupTitle(job)));
    const MStringEx<wchar_t> title =
        FormattedResourceString(IDS_SAVE_AS_TITLE, job.productName, job.internalName);
    MStringEx<wchar_t> chosen;
    if (!AskSaveAsPath(job.dialog, title, proposal, chosen)) {
        return TargetFileOutcome::Cancelled;
    }
    job.filePath = WithMsiExtension(chosen);
    DWORD error = ERROR_SUCCESS;
    job.file.Reset(CreateTargetFile(job.filePath, error));
    if (!job.file.IsValid()) {
        ShowCreateFileError(job, error);
        return TargetFileOutcome::Failed;
    }
    return TargetFileOutcome::Created;
}
