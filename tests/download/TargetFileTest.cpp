#include "download/TargetFile.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/TempFolder.h"

namespace {

MStringEx<wchar_t> Text(const std::wstring& text)
{
    return MStringEx<wchar_t>(text.c_str());
}

std::wstring Text(const MStringEx<wchar_t>& text)
{
    return text.Data();
}

TEST(TargetFileTest, ExtensionRuleForcesMsi)
{
    const struct {
        const wchar_t* chosen;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\d\\setup", L"C:\\d\\setup.msi"},
        {L"C:\\d\\setup.", L"C:\\d\\setup.msi"},
        {L"C:\\d\\setup..", L"C:\\d\\setup.msi"},
        {L"C:\\d\\setup.exe", L"C:\\d\\setup.exe.msi"},
        {L"C:\\d\\setup.MSI", L"C:\\d\\setup.MSI"},
        {L"C:\\d\\setup.msi", L"C:\\d\\setup.msi"},
        // The extension is what follows the last dot anywhere in the path.
        {L"C:\\v2.msi\\setup", L"C:\\v2.msi\\setup.msi"},
        {L"C:\\my.folder\\setup", L"C:\\my.folder\\setup.msi"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Text(WithMsiExtension(MStringEx<wchar_t>(c.chosen))), c.expected) << c.chosen;
    }
}

TEST(TargetFileTest, FolderAndNameJoinWithOneSeparator)
{
    EXPECT_EQ(Text(JoinFolderAndName(MStringEx<wchar_t>(L"C:\\d"), MStringEx<wchar_t>(L"T"))),
              L"C:\\d\\T");
    EXPECT_EQ(Text(JoinFolderAndName(MStringEx<wchar_t>(), MStringEx<wchar_t>(L"T"))), L"T");
}

TEST(TargetFileTest, DefaultFolderIsTheDownloadsFolderWithoutTrailingBackslash)
{
    const std::wstring folder = Text(DefaultDownloadFolder());
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), L'\\');
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << folder;
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    const std::wstring last = folder.substr(folder.rfind(L'\\') + 1);
    EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, last.c_str(), -1, L"Downloads", -1),
              CSTR_EQUAL)
        << folder;
}

class FreeNameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(folder.Path().empty()); }

    std::wstring Base() const { return folder / L"T"; }
    std::wstring Free() const { return Text(FreeBaseName(Text(Base()))); }

    TempFolder folder{L"kdm-free-name"};
};

TEST_F(FreeNameTest, TakesThePlainNameWhenItIsFree)
{
    ASSERT_TRUE(WriteTestFile(folder / L"T")); // without extension it does not count
    ASSERT_TRUE(WriteTestFile(folder / L"T (1).msi"));
    EXPECT_EQ(Free(), Base());
}

TEST_F(FreeNameTest, NumbersFromOneAndTakesTheFirstGap)
{
    ASSERT_TRUE(WriteTestFile(folder / L"T.msi"));
    ASSERT_TRUE(WriteTestFile(folder / L"T (1).msi"));
    ASSERT_TRUE(WriteTestFile(folder / L"T (3).msi"));
    EXPECT_EQ(Free(), Base() + L" (2)");
}

TEST_F(FreeNameTest, ADirectoryTakesTheName)
{
    ASSERT_TRUE(CreateDirectoryW((folder / L"T.msi").c_str(), nullptr));
    EXPECT_EQ(Free(), Base() + L" (1)");
}

TEST_F(FreeNameTest, KeepsThePlainNameWhenAllThousandAreTaken)
{
    ASSERT_TRUE(WriteTestFile(folder / L"T.msi"));
    for (int n = 1; n <= 998; ++n) {
        ASSERT_TRUE(WriteTestFile(folder / (L"T (" + std::to_wstring(n) + L").msi")));
    }
    // Before the last one is taken, the last number is offered.
    EXPECT_EQ(Free(), Base() + L" (999)");
    ASSERT_TRUE(WriteTestFile(folder / L"T (999).msi"));
    EXPECT_EQ(Free(), Base());
}

class CreateTargetFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(folder.Path().empty()); }

    // The handle CreateTargetFile gave, owned by the test.
    MHandle Create(const std::wstring& path, DWORD& error)
    {
        return MHandle(CreateTargetFile(Text(path), error));
    }

    TempFolder folder{L"kdm-create"};
};

DWORD FileSize(HANDLE file)
{
    return GetFileSize(file, nullptr);
}

TEST_F(CreateTargetFileTest, CreatesAnEmptyFileThatNobodyElseCanOpen)
{
    const std::wstring path = folder / L"new.msi";
    DWORD error = 1;
    const MHandle file = Create(path, error);
    ASSERT_TRUE(file.IsValid()) << error;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(FileSize(file.Get()), 0u);

    // Read and write access through the one handle.
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file.Get(), "abc", 3, &written, nullptr));
    SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
    char back[3] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file.Get(), back, 3, &read, nullptr));
    EXPECT_EQ(std::string(back, read), "abc");

    const MHandle second(CreateFileW(path.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    const DWORD secondError = GetLastError();
    EXPECT_FALSE(second.IsValid());
    EXPECT_EQ(secondError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(CreateTargetFileTest, ReplacesAnExistingReadOnlyFile)
{
    const std::wstring path = folder / L"old.msi";
    ASSERT_TRUE(WriteTestFile(path, "old content"));
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));

    DWORD error = 1;
    const MHandle file = Create(path, error);
    ASSERT_TRUE(file.IsValid()) << error;
    EXPECT_EQ(FileSize(file.Get()), 0u);
    EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(CreateTargetFileTest, ReportsTheErrorOfTheLastCreation)
{
    // A directory of that name survives the replacement attempt, so the second creation fails.
    const std::wstring directory = folder / L"dir.msi";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    DWORD error = 0;
    EXPECT_FALSE(Create(directory, error).IsValid());
    EXPECT_TRUE(error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                error == ERROR_ACCESS_DENIED)
        << error;
    EXPECT_NE(GetFileAttributesW(directory.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    // A missing folder is no existing file: its error comes from the first creation.
    EXPECT_FALSE(Create(folder / L"missing\\x.msi", error).IsValid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

} // namespace
