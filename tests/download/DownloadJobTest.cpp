#include "download/DownloadJob.h"

#include <gtest/gtest.h>

#include "tests/support/TempFolder.h"

namespace {

class DownloadJobTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        moduleInstance = GetModuleHandleW(nullptr);
        ASSERT_FALSE(folder.Path().empty());
    }

    // Opens the file with every sharing mode allowed; invalid when someone holds it exclusively.
    static HANDLE OpenShared(const std::wstring& path)
    {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    }
    static HANDLE CreateExclusive(const std::wstring& path)
    {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    TempFolder folder{L"kdm-job"};
};

TEST_F(DownloadJobTest, StartsFromTheVersionBlockWithoutFile)
{
    const HWND window = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
    MSmartPtr<DownloadJob> job(new DownloadJob(window));
    EXPECT_TRUE(job->productName == L"Kestrune");
    EXPECT_TRUE(job->productVersion == L"2.0.33.1397");
    EXPECT_TRUE(job->internalName == L"Download Manager");
    EXPECT_EQ(job->dialog, window);
    EXPECT_EQ(job->file.Get(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(job->filePath.IsEmpty());
    EXPECT_TRUE(job->osName.IsEmpty());
}

TEST_F(DownloadJobTest, ReleasingTheJobClosesItsFile)
{
    const std::wstring path = folder / L"held.msi";
    MSmartPtr<DownloadJob> job(new DownloadJob(nullptr));
    job->file.Reset(CreateExclusive(path));
    ASSERT_TRUE(job->file.IsValid());
    EXPECT_FALSE(MHandle(OpenShared(path)).IsValid());

    job.Reset();
    EXPECT_TRUE(MHandle(OpenShared(path)).IsValid());
}

TEST_F(DownloadJobTest, AFileClosedBeforeTheJobEndsIsNotClosedAgain)
{
    const std::wstring path = folder / L"closed.msi";
    MSmartPtr<DownloadJob> job(new DownloadJob(nullptr));
    job->file.Reset(CreateExclusive(path));
    ASSERT_TRUE(job->file.IsValid());
    const HANDLE first = job->file.Get();
    // The worker closes the file before launching the installer.
    job->file.Close();

    // The freed handle value is usually given out again at once; a second close by the job would
    // then close this handle.
    const MHandle other(OpenShared(path));
    ASSERT_TRUE(other.IsValid());
    job.Reset();
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(other.Get(), &flags))
        << "handle " << other.Get() << " (the job's was " << first << ")";
}

} // namespace
