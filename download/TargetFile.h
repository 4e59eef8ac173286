// The target file of a run: the proposed folder and free name, the Save As dialog, the ".msi"
// extension and the exclusive creation of the file. Runs on the dialog thread inside the start
// sequence, after SelectPlatform and before the worker exists.
#ifndef KDM_DOWNLOAD_TARGETFILE_H
#define KDM_DOWNLOAD_TARGETFILE_H

#include <windows.h>

#include <commdlg.h>

#include "download/DownloadJob.h"
#include "foundation/Foundation.h"

// How ChooseTargetFile ended.
enum class TargetFileOutcome {
    // job.filePath holds the path and job.file the open, empty file: start the worker.
    Created,
    // The Save As dialog was cancelled (or could not be shown); nothing was shown, no file made.
    Cancelled,
    // The file could not be created; IDS_CANNOT_CREATE_FILE has been shown and no handle is open.
    Failed,
};

// Proposes "<Downloads folder>\<setup title>" (numbered when taken) in the Save As dialog owned
// by job.dialog, forces the ".msi" extension on the chosen path and creates that file exclusively,
// replacing an existing file of that name. Needs job.productName, job.internalName, job.dialog and
// job.osName; sets job.filePath (also when the creation fails) and job.file. Throws the
// foundation's exceptions (missing strings, heap exhausted); a handle created before is then
// still owned by the job.
TargetFileOutcome ChooseTargetFile(DownloadJob& job);

// The user's Downloads folder (the known folder, created when missing, looked up at run time
// since it exists from Windows Vista on), else the documents folder, else empty; without
// backslashes at its end.
MStringEx<wchar_t> DefaultDownloadFolder();

// folder + "\" + name, or the bare name when the folder is empty.
MStringEx<wchar_t> JoinFolderAndName(const MStringEx<wchar_t>& folder,
                                     const MStringEx<wchar_t>& name);

// True when a file or a directory of that path exists (FindFirstFileW finds it).
bool IsNameTaken(const MStringEx<wchar_t>& path);

// The free-name search for a base path T without extension: T when T.msi is free, else the first
// "T (n)" with n from 1 to 999 whose ".msi" name is free; T again when all of them are taken.
MStringEx<wchar_t> FreeBaseName(const MStringEx<wchar_t>& base);

// The extension rule: a path whose text after its last "." is "msi" in any case is kept; any
// other has the dots at both its ends removed and ".msi" appended ("setup" and "setup." give
// "setup.msi", "setup.exe" gives "setup.exe.msi").
MStringEx<wchar_t> WithMsiExtension(const MStringEx<wchar_t>& path);

// Creates the file new, for reading and writing, not shared. When a file of that name exists,
// clears its read-only attribute, deletes it and creates it again. Returns the handle, or
// INVALID_HANDLE_VALUE with `error` set to the last error of the last creation.
HANDLE CreateTargetFile(const MStringEx<wchar_t>& path, DWORD& error);

// Number of characters of the Save As dialog's file-name buffer, terminator included.
const DWORD SaveAsBufferLength = 40000;

// Fills the Save As request as the program sends it: owner, the ".msi" and "All Files" filters,
// the file-name buffer (SaveAsBufferLength characters) holding the proposal, the title, the flags
// and the hook that centres the dialog over its owner. No initial folder and no default extension.
// The request refers to `buffer` and `title`, which must outlive it.
void FillSaveAsRequest(OPENFILENAMEW& request, HWND owner, wchar_t* buffer,
                       const MStringEx<wchar_t>& title);

// Shows the Save As dialog with `proposal` in its name box. True with the chosen path in `chosen`
// when the user accepted; false when the dialog was cancelled or failed.
bool AskSaveAsPath(HWND owner, const MStringEx<wchar_t>& title, const MStringEx<wchar_t>& proposal,
                   MStringEx<wchar_t>& chosen);

#endif
