#include "foundation/ResourceStrings.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/Thrown.h"

namespace {

// Reads the strings and version block of foundation_test_strings.dll (test_strings.rc); the test
// program itself carries only string 111 (test_program.rc) and no version block. The library is
// named by its full path beside the program: other cases of this process restrict the search for
// libraries to the system folder.
class ResourceStringsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        ASSERT_TRUE(length > 0 && length < MAX_PATH);
        std::wstring library(path, length);
        library.replace(library.rfind(L'\\') + 1, std::wstring::npos,
                        L"foundation_test_strings.dll");
        module = LoadLibraryW(library.c_str());
        ASSERT_NE(module, nullptr) << "LoadLibraryW failed: " << GetLastError();
        moduleInstance = module;
    }
    void TearDown() override
    {
        moduleInstance = nullptr;
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }

    HMODULE module = nullptr;
};

TEST_F(ResourceStringsTest, FindsEntriesAtBothEndsOfTheirBlocks)
{
    EXPECT_TRUE(ResourceString(102) == L"Download Manager");
    EXPECT_TRUE(ResourceString(111) == L"The %s %s could not create file '%s' because: %s");
    EXPECT_TRUE(ResourceString(112).StartsWithNoCase(L"Are you sure"));
    EXPECT_TRUE(ResourceString(114) == L"out of %s bytes");
}

TEST_F(ResourceStringsTest, CutsAnEntryAtItsNullCodeUnit)
{
    EXPECT_TRUE(ResourceString(113) == L"before");
}

TEST_F(ResourceStringsTest, EmptyMissingAndMalformedEntriesRaise)
{
    // 107: empty inside block 7; 115: after the last entry of block 8; 40: block 3 does not
    // exist; 128: its length runs past the end of block 9; 130: skipping runs past the end.
    for (const UINT id : {107u, 115u, 127u, 40u, 0u, 128u, 130u, 0x10000u}) {
        EXPECT_EQ(ThrownCode<MStringExException>([id] { ResourceString(id); }), 0) << id;
    }
}

TEST_F(ResourceStringsTest, FormatsAnEntryWithWideArguments)
{
    const MStringEx<wchar_t> title =
        FormattedResourceString(109, MStringEx<wchar_t>(L"Kestrune"), L"7", L"64");
    EXPECT_TRUE(title == L"Kestrune 2012 - Setup for Windows 7, 64 bit");
    EXPECT_EQ(ThrownCode<MStringExException>([] { FormattedResourceString(107, L"x"); }), 0);
}

TEST_F(ResourceStringsTest, ReadsVersionValuesOfTheFirstTranslationThatHasThem)
{
    EXPECT_TRUE(VersionString(L"ProductName") == L"Test Product");
    EXPECT_TRUE(VersionString(L"InternalName") == L"Test Internal");
    EXPECT_TRUE(VersionString(L"ProductVersion") == L"7.5.1");
    EXPECT_TRUE(VersionString(L"OnlyInSecond") == L"zweite \x00e4");
    EXPECT_EQ(ThrownCode<MStringExException>([] { VersionString(L"Comments"); }), 0);
}

TEST_F(ResourceStringsTest, NoModuleMeansTheExecutable)
{
    moduleInstance = nullptr;
    EXPECT_TRUE(ResourceString(111) == L"from the test program");
    EXPECT_EQ(ThrownCode<MStringExException>([] { ResourceString(102); }), 0);
    EXPECT_EQ(ThrownCode<MStringExException>([] { VersionString(L"ProductName"); }), 0);
}

} // namespace
