// What the shipped binaries import, read from their files: every function exists in Windows XP
// SP3's system libraries, the static imports are known system libraries only and everything else
// is delay-loaded through the program's own hook, and both binaries keep ASLR and DEP.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "foundation/SystemLibraries.h"
#include "tests/support/BuiltModule.h"
#include "tests/support/PeImage.h"
#include "tests/support/TextUtil.h"

namespace {

using kdm_test::BuildTreePath;
using kdm_test::PeImage;
using kdm_test::PeImport;

const wchar_t* const kShippedBinaries[] = {L"bin\\KestruneDownloadManager.exe",
                                           L"bin\\KestruneDownloadManager.dll"};

// The libraries that Windows maps from its known-libraries list on every version from XP to 8.1
// (msvcrt, the C runtime, as a dependency of the listed ones on XP): never taken from the
// program's folder, so the only ones imported statically.
const std::set<std::string> kKnownLibraries = {"kernel32", "user32", "gdi32",    "advapi32",
                                               "shell32",  "ole32",  "comdlg32", "msvcrt"};

// "KERNEL32.dll" -> "kernel32"
std::string LibraryKey(const std::string& library)
{
    const std::string lower = kdm_test::AsciiLower(library);
    return lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".dll") == 0
               ? lower.substr(0, lower.size() - 4)
               : lower;
}

// The lines of one list of tests/app/xp-exports, without its "# " comment lines; an empty set
// when there is no list. Ordinal exports are written "#<n>".
std::set<std::string> ListLines(const std::string& name)
{
    std::ifstream file(std::string(KDM_XP_EXPORTS_DIR) + "/" + name + ".txt");
    std::set<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line.compare(0, 2, "# ") != 0) {
            lines.insert(line);
        }
    }
    return lines;
}

class ShippedImports : public ::testing::TestWithParam<const wchar_t*> {
protected:
    PeImage Image() const { return PeImage::FromFile(BuildTreePath(GetParam())); }
    std::string Name() const { return kdm_test::ToUtf8(GetParam()); }
};

TEST_P(ShippedImports, EveryFunctionExistsOnWindowsXpSp3)
{
    const std::set<std::string> notOnXp = ListLines("not-on-xp");
    std::map<std::string, std::set<std::string>> lists;
    const std::vector<PeImport> imports = Image().Imports();
    ASSERT_FALSE(imports.empty());
    for (const PeImport& import : imports) {
        const std::string library = LibraryKey(import.library);
        if (lists.count(library) == 0) {
            lists[library] = ListLines(library);
        }
        EXPECT_FALSE(lists[library].empty()) << Name() << " imports from " << import.library
                                             << ", which has no list of XP SP3's exports";
        const bool onXp = lists[library].count(import.function) != 0 &&
                          notOnXp.count(library + " " + import.function) == 0;
        EXPECT_TRUE(onXp) << Name() << " imports " << import.library << "!" << import.function
                          << (import.delayLoaded ? " (delay-loaded)" : "")
                          << ", which Windows XP SP3 lacks";
    }
}

TEST_P(ShippedImports, StaticallyOnlyKnownSystemLibrariesTheRestDelayLoaded)
{
    const PeImage image = Image();
    std::set<std::string> statically;
    for (const PeImport& import : image.Imports()) {
        if (!import.delayLoaded) {
            statically.insert(LibraryKey(import.library));
        }
    }
    for (const std::string& library : statically) {
        EXPECT_EQ(kKnownLibraries.count(library), 1u)
            << Name() << " imports " << library << ".dll statically, which is not a known "
            << "system library on every Windows from XP to 8.1: delay-load it";
    }

    std::set<std::string> delayed;
    for (const std::string& library : image.DelayLoadedLibraries()) {
        delayed.insert(LibraryKey(library));
    }
    // Exactly the libraries that the program loads from the system folder before a run.
    std::set<std::string> expected;
    for (const wchar_t* library : kDelayLoadedLibraries) {
        expected.insert(LibraryKey(kdm_test::ToUtf8(library)));
    }
    EXPECT_EQ(delayed, expected) << Name();

    for (const PeImport& import : image.Imports()) {
        EXPECT_TRUE(!import.delayLoaded || import.initialEntry != 0)
            << Name() << ": the delay-load entry of " << import.library << "!" << import.function
            << " is null, so its first call jumps to address 0";
    }
}

// The delay-load helper asks __pfnDliNotifyHook2 before it loads a library. The link map of the
// binary tells which object file's definition it got: the program's hook, or the runtime's null
// one, with which every delay-loaded library would be loaded by the plain search.
TEST_P(ShippedImports, DelayLoadHookIsTheProgramsOwn)
{
    const std::wstring binary = GetParam();
    std::ifstream map(std::string(KDM_LINK_MAPS_DIR) + "/" +
                      kdm_test::ToUtf8(binary.substr(binary.find_last_of(L'\\') + 1)) + ".map");
    ASSERT_TRUE(map) << Name() << " has no link map";
    const std::string hook = "__pfnDliNotifyHook2";
    std::string line;
    std::string inputSection; // the last " .section address size file" line
    while (std::getline(map, line)) {
        if (line.compare(0, 2, " .") == 0) {
            inputSection = line;
        } else if (line.size() > hook.size() && line.find("0x") != std::string::npos &&
                   line.compare(line.size() - hook.size(), hook.size(), hook) == 0) {
            break;
        }
    }
    ASSERT_TRUE(map) << Name() << ": the link map names no __pfnDliNotifyHook2";
    EXPECT_NE(inputSection.find("(SystemLibraries.cpp.obj)"), std::string::npos)
        << Name() << " takes the delay-load hook from " << inputSection;
}

TEST_P(ShippedImports, KeepAslrAndDep)
{
    const PeImage image = Image();
    EXPECT_NE(image.DllCharacteristics() & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, 0) << Name();
    EXPECT_NE(image.DllCharacteristics() & IMAGE_DLLCHARACTERISTICS_NX_COMPAT, 0) << Name();
    EXPECT_EQ(image.FileCharacteristics() & IMAGE_FILE_RELOCS_STRIPPED, 0) << Name();
    EXPECT_GT(image.RelocationsSize(), 0u) << Name() << " has no relocations: ASLR cannot move it";
}

INSTANTIATE_TEST_SUITE_P(BothBinaries, ShippedImports, ::testing::ValuesIn(kShippedBinaries));

} // namespace
