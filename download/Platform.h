// Platform detection: the Windows name and the processor word size that the download request
// describes, the setup title, and the refusal of systems the packages do not support.
// Everything here runs on the dialog thread inside the start sequence, except BitnessText, which
// any thread may call.
#ifndef KDM_DOWNLOAD_PLATFORM_H
#define KDM_DOWNLOAD_PLATFORM_H

#include <windows.h>

#include <cstdint>

#include "download/DownloadJob.h"
#include "foundation/Foundation.h"

// What SelectPlatform throws when the packages do not support this Windows, by value like the
// foundation's exception records: TooOld (1) when it is older than the oldest supported one,
// NotRecognised (-1) when its version code is not known. The start sequence catches this record
// alone (no integer thrown elsewhere reads as a refusal) and passes its code to
// ShowUnsupportedSystem.
class UnsupportedSystem {
public:
    enum : std::int32_t { TooOld = 1, NotRecognised = -1 };

    explicit UnsupportedSystem(std::int32_t code) : code(code) {}
    std::int32_t Code() const { return code; }

private:
    std::int32_t code;
};

// Sets job.osName to "XP", "Vista", "7" or "8", or throws UnsupportedSystem; nothing else
// changes. When an installer gave its version code (installerOsVersion), that code decides and
// the running system is not asked; otherwise GetVersionExW does.
void SelectPlatform(DownloadJob& job);

// The decision for an installer's version code, read as wcstoul reads it in base 10 (white space
// skipped, stops at the first non-digit, no digits give 0, a minus sign negates modulo 2^32):
// 0-500 too old, 501-599 "XP", 600 "Vista", 601 "7", 602-699 "8", 700 and above not recognised.
// A null code reads as 0. Returns a constant text; throws UnsupportedSystem.
const wchar_t* OsNameForInstallerCode(const wchar_t* code);

// The service pack of OsNameForVersion when the extended version query failed.
const int ServicePackUnknown = -1;

// The decision for the running system's version: below 5.1 too old; 5.1 and 5.2 are "XP" when the
// service pack is 3 or later or unknown, too old below 3; a major of 6 or more is judged by the
// minor alone: 0 "Vista", 1 "7", 2 and more "8". The service pack is looked at for major 5 only.
// Returns a constant text; throws UnsupportedSystem.
const wchar_t* OsNameForVersion(DWORD major, DWORD minor, int servicePackMajor);

// "64" on an AMD64 processor, "32" on every other (x86, Itanium, unknown), by
// GetNativeSystemInfo. A constant text, not owned by the caller. Any thread.
const wchar_t* BitnessText();
// The decision of BitnessText for a wProcessorArchitecture value.
const wchar_t* BitnessForArchitecture(WORD architecture);

// IDS_SETUP_TITLE formatted with job.productName, job.osName and BitnessText(): the line the
// dialog shows and the default name of the target file. Throws MStringExException 0 when the
// string is missing.
MStringEx<wchar_t> SetupTitle(const DownloadJob& job);
// IDS_SETUP_TITLE formatted with the three texts given.
MStringEx<wchar_t> FormatSetupTitle(const MStringEx<wchar_t>& productName,
                                    const MStringEx<wchar_t>& osName, const wchar_t* bitness);

// Tells the user that this system is not supported (IDS_SYSTEM_TOO_OLD for the code TooOld,
// IDS_SYSTEM_UNKNOWN for any other) in a message box centred over job.dialog, with the error
// icon and the caption "<productName> - <internalName>"; when the user has closed it, opens the
// product web site (IDS_WEBSITE_ADDRESS) in the browser. Throws MStringExException 0 when a string
// is missing.
void ShowUnsupportedSystem(std::int32_t code, const DownloadJob& job);

#endif
