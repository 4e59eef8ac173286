// Runs SelectPlatform under the Windows version that the test prefix gives this program, and
// writes "<outcome> <major>.<minor> SP<service pack>" to the file named by its argument; the
// outcome is the Windows name or "refused <code>". Started by PlatformUnderPrefixVersionTest.
#include <cstdio>
#include <string>

#include <windows.h>

#include "download/Platform.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    moduleInstance = GetModuleHandleW(nullptr);
    std::string outcome;
    try {
        DownloadJob job(nullptr);
        SelectPlatform(job);
        outcome = MStringEx<wchar_t>(job.osName).ToUtf8().Data();
    } catch (const UnsupportedSystem& refusal) {
        outcome = "refused " + std::to_string(refusal.Code());
    } catch (...) {
        outcome = "exception";
    }
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    FILE* const file = std::fopen(argv[1], "w");
    if (file == nullptr) {
        return 3;
    }
    std::fprintf(file, "%s %lu.%lu SP%u", outcome.c_str(), version.dwMajorVersion,
                 version.dwMinorVersion, static_cast<unsigned>(version.wServicePackMajor));
    std::fclose(file);
    return 0;
}
