#include "download/Platform.h"

#include "app/DialogServices.h"
#include "resources/StringIds.h"

// The plain and the extended structure as the system expects them; a smaller structure (an
// older SDK's) would make the extended query fail and skip the service-pack test.
static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW as Windows defines it");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW as Windows defines it");

namespace {

// The running system's service pack, or ServicePackUnknown when the extended query fails.
int RunningServicePack()
{
    OSVERSIONINFOEXW extended{};
    extended.dwOSVersionInfoSize = sizeof(extended);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) {
        return ServicePackUnknown;
    }
    return extended.wServicePackMajor;
}

} // namespace

const wchar_t* OsNameForInstallerCode(const wchar_t* code)
{
    const unsigned long number = MStringEx<wchar_t>(code).ToUInt32();
    if (number <= 500) {
        throw UnsupportedSystem(UnsupportedSystem::TooOld);
    }
    if (number <= 599) {
        return L"XP";
    }
    if (number == 600) {
        return L"Vista";
    }
    if (number == 601) {
        return L"7";
    }
    if (number <= 699) {
        return L"8";
    }
    throw UnsupportedSystem(UnsupportedSystem::NotRecognised);
}

const wchar_t* OsNameForVersion(DWORD major, DWORD minor, int servicePackMajor)
{
    if (major < 5 || (major == 5 && minor == 0)) {
        throw UnsupportedSystem(UnsupportedSystem::TooOld);
    }
    if (major == 5) {
        if (servicePackMajor != ServicePackUnknown && servicePackMajor < 3) {
            throw UnsupportedSystem(UnsupportedSystem::TooOld);
        }
        return L"XP";
    }
    if (minor == 0) {
        return L"Vista";
    }
    if (minor == 1) {
        return L"7";
    }
    return L"8";
}

void SelectPlatform(DownloadJob& job)
{
    if (installerOsVersion != nullptr) {
        job.osName = OsNameForInstallerCode(installerOsVersion);
        return;
    }
    // The result is not tested: after a failure the zeroed structure (major 0) counts as too old.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    // Only the XP family needs the service pack, and only it pays for the second query.
    const int servicePack = version.dwMajorVersion == 5 ? RunningServicePack() : ServicePackUnknown;
    job.osName = OsNameForVersion(version.dwMajorVersion, version.dwMinorVersion, servicePack);
}

const wchar_t* BitnessForArchitecture(WORD architecture)
{
    return architecture == PROCESSOR_ARCHITECTURE_AMD64 ? L"64" : L"32";
}

const wchar_t* BitnessText()
{
    // A 32-bit process on 64-bit Windows sees x86 through GetSystemInfo; the native view tells
    // which package the machine needs.
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return BitnessForArchitecture(info.wProcessorArchitecture);
}

MStringEx<wchar_t> FormatSetupTitle(const MStringEx<wchar_t>& productName,
                                    const MStringEx<wchar_t>& osName, const wchar_t* bitness)
{
    return FormattedResourceString(IDS_SETUP_TITLE, productName, osName, bitness);
}

MStringEx<wchar_t> SetupTitle(const DownloadJob& job)
{
    return FormatSetupTitle(job.productName, job.osName, BitnessText());
}

void ShowUnsupportedSystem(std::int32_t code, const DownloadJob& job)
{
    const MStringEx<wchar_t> caption = job.productName + L" - " + job.internalName;
    const MStringEx<wchar_t> text =
        code == UnsupportedSystem::TooOld
            ? FormattedResourceString(IDS_SYSTEM_TOO_OLD, job.productName, job.productName)
            : FormattedResourceString(IDS_SYSTEM_UNKNOWN, job.productName);
    CenteredMessageBox(job.dialog, text, caption, MB_ICONERROR);
    OpenProductWebsite(job.dialog);
}
