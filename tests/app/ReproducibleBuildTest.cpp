// The shipped binaries carry nothing of the build that made them, so that two builds of one commit
// in different folders give the same bytes: no link time in the PE header, and neither the source
// folder nor the build folder in any spelling.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/BuiltModule.h"
#include "tests/support/PeImage.h"
#include "tests/support/TextUtil.h"

namespace {

using kdm_test::BuildTreePath;
using kdm_test::PeImage;

// A folder as a binary could hold it: with forward or backward slashes (under any drive letter),
// as narrow text or as UTF-16.
std::vector<std::string> Spellings(const std::string& folder)
{
    std::string backward = folder;
    for (char& c : backward) {
        c = c == '/' ? '\\' : c;
    }
    std::vector<std::string> spellings = {folder, backward};
    for (const std::string& narrow : {folder, backward}) {
        std::string wide;
        for (char c : narrow) {
            wide += c;
            wide += '\0';
        }
        spellings.push_back(wide);
    }
    return spellings;
}

std::vector<std::string> BuildFolderSpellings()
{
    std::vector<std::string> spellings = Spellings(KDM_SOURCE_DIR);
    for (const std::string& spelling : Spellings(KDM_BINARY_DIR)) {
        spellings.push_back(spelling);
    }
    return spellings;
}

TEST(ReproducibleBuild, TheFolderSearchFindsTheFoldersInThisTestProgram)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    // This program holds both folders as narrow text with forward slashes (the definitions above).
    const PeImage image = PeImage::FromFile(self);
    EXPECT_NE(image.Bytes().find(Spellings(KDM_SOURCE_DIR)[0]), std::string::npos);
    EXPECT_NE(image.Bytes().find(Spellings(KDM_BINARY_DIR)[0]), std::string::npos);
}

TEST(ReproducibleBuild, ShippedBinariesCarryNoLinkTimeAndNoBuildFolder)
{
    for (const wchar_t* path :
         {L"bin\\KestruneDownloadManager.exe", L"bin\\KestruneDownloadManager.dll"}) {
        SCOPED_TRACE(kdm_test::ToUtf8(path));
        const PeImage image = PeImage::FromFile(BuildTreePath(path));
        EXPECT_EQ(image.TimeDateStamp(), 0u);
        for (const std::string& spelling : BuildFolderSpellings()) {
            EXPECT_EQ(image.Bytes().find(spelling), std::string::npos)
                << "a build folder at offset " << image.Bytes().find(spelling);
        }
    }
}

} // namespace
