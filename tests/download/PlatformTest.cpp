#include "download/Platform.h"

#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "app/DialogServices.h"

namespace {

// The Windows name a decision gave, or "refused <code>" for the UnsupportedSystem it threw.
template <typename F> std::wstring Outcome(F decide)
{
    try {
        return decide();
    } catch (const UnsupportedSystem& refusal) {
        return L"refused " + std::to_wstring(refusal.Code());
    }
}

// The refusal is a record of its own class, as the start sequence catches it: an integer thrown
// by any other code is not taken for a refused system (it ends the start as any other failure).
TEST(PlatformTest, ARefusalIsARecordThatAStrayIntegerIsNot)
{
    static_assert(std::is_class<UnsupportedSystem>::value, "a handler of it takes no integer");
    bool readAsRefusal = false;
    bool passedOn = false;
    try {
        try {
            throw 1;
        } catch (const UnsupportedSystem&) {
            readAsRefusal = true;
        }
    } catch (int) {
        passedOn = true;
    }
    EXPECT_FALSE(readAsRefusal);
    EXPECT_TRUE(passedOn);
}

TEST(PlatformTest, InstallerCodesFollowTheirTable)
{
    const struct {
        const wchar_t* code;
        const wchar_t* expected;
    } cases[] = {
        {L"0", L"refused 1"},
        {L"500", L"refused 1"},
        {L"501", L"XP"},
        {L"599", L"XP"},
        {L"600", L"Vista"},
        {L"601", L"7"},
        {L"602", L"8"},
        {L"699", L"8"},
        {L"700", L"refused -1"},
        {L"4294967295", L"refused -1"},
        // Read as wcstoul reads: stops at the first non-digit, skips leading white space, no
        // digits give 0, a minus sign wraps round to the top of the unsigned range.
        {L"601abc", L"7"},
        {L" 600", L"Vista"},
        {L"", L"refused 1"},
        {L"abc", L"refused 1"},
        {L"-1", L"refused -1"},
        {nullptr, L"refused 1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Outcome([&] { return OsNameForInstallerCode(c.code); }), c.expected)
            << (c.code != nullptr ? c.code : L"(null)");
    }
}

TEST(PlatformTest, SystemVersionsFollowTheirTable)
{
    const struct {
        DWORD major;
        DWORD minor;
        int servicePack;
        const wchar_t* expected;
    } cases[] = {
        {0, 0, ServicePackUnknown, L"refused 1"}, // GetVersionExW failed: zeroed structure
        {4, 90, ServicePackUnknown, L"refused 1"},
        {5, 0, 4, L"refused 1"},
        {5, 1, 2, L"refused 1"},
        {5, 1, 3, L"XP"},
        {5, 1, ServicePackUnknown, L"XP"}, // the extended query failed: no test
        {5, 2, 2, L"refused 1"},
        {5, 2, 3, L"XP"},
        {6, 0, 0, L"Vista"}, // the service pack matters for major 5 only
        {6, 1, 1, L"7"},
        {6, 2, 0, L"8"},
        {6, 3, 0, L"8"},
        {10, 0, 0, L"Vista"}, // any major above 6 is judged by its minor alone
        {10, 4, 0, L"8"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Outcome([&] { return OsNameForVersion(c.major, c.minor, c.servicePack); }),
                  c.expected)
            << c.major << "." << c.minor << " SP " << c.servicePack;
    }
}

TEST(PlatformTest, OnlyAnAmd64ProcessorIs64Bit)
{
    EXPECT_STREQ(BitnessForArchitecture(PROCESSOR_ARCHITECTURE_AMD64), L"64");
    // x86, Itanium, ARM64 and unknown.
    for (const int architecture : {PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_IA64, 12,
                                   PROCESSOR_ARCHITECTURE_UNKNOWN}) {
        EXPECT_STREQ(BitnessForArchitecture(static_cast<WORD>(architecture)), L"32")
            << architecture;
    }
}

class PlatformWithJobTest : public ::testing::Test {
protected:
    void SetUp() override { moduleInstance = GetModuleHandleW(nullptr); }
    void TearDown() override { installerOsVersion = nullptr; }
};

TEST_F(PlatformWithJobTest, SetupTitleNamesProductWindowsAndBitness)
{
    EXPECT_TRUE(FormatSetupTitle(MStringEx<wchar_t>(L"Kestrune"), MStringEx<wchar_t>(L"7"),
                                 L"64") == L"Kestrune 2012 - Setup for Windows 7, 64 bit");

    DownloadJob job(nullptr);
    job.osName = L"Vista";
    const MStringEx<wchar_t> expected =
        MStringEx<wchar_t>(L"Kestrune 2012 - Setup for Windows Vista, ") + BitnessText() + L" bit";
    EXPECT_TRUE(SetupTitle(job) == expected) << SetupTitle(job).Data();
}

TEST_F(PlatformWithJobTest, InstallerCodeDecidesWithoutAskingTheSystem)
{
    // The prefix reports Windows 7; the installer's code wins.
    DownloadJob job(nullptr);
    installerOsVersion = L"600";
    SelectPlatform(job);
    EXPECT_TRUE(job.osName == L"Vista") << job.osName.Data();

    DownloadJob refused(nullptr);
    installerOsVersion = L"-1";
    EXPECT_EQ(Outcome([&] {
                  SelectPlatform(refused);
                  return std::wstring(L"not refused");
              }),
              L"refused -1");
    EXPECT_TRUE(refused.osName.IsEmpty());
}

} // namespace
