// ShowUnsupportedSystem with the real message box, answered by the test bench's operator, and the
// product web site reaching the handler that the test prefix registers for http addresses.
#include "download/Platform.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/download/OwnerWindow.h"
#include "tests/support/LaunchLog.h"
#include "tests/support/Operator.h"
#include "tests/support/TextUtil.h"

namespace {

using kdm_test::LaunchLog;
using kdm_test::MessageBoxInfo;
using kdm_test::Operator;

TEST(UnsupportedSystemTest, TellsWhyThenOpensTheProductWebSite)
{
    moduleInstance = GetModuleHandleW(nullptr);
    const struct {
        std::int32_t code;
        const wchar_t* text;
    } cases[] = {
        {UnsupportedSystem::TooOld,
         L"Kestrune is designed for Windows XP SP4, and later operating systems. Kestrune cannot "
         L"be installed on this machine. To download the appropriate installation package for "
         L"your system please go to http://127.0.0.2."},
        {UnsupportedSystem::NotRecognised,
         L"The download manager does not recognize this operating system. Please go to "
         L"http://127.0.0.2 to obtain a compatible version of the download manager or otherwise "
         L"download Kestrune."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const OwnerWindow owner;
        ASSERT_NE(owner.Get(), nullptr);
        const DownloadJob job(owner.Get());
        LaunchLog log = LaunchLog::InTempFolder(L"kdm-unsupported-system.log");
        ASSERT_TRUE(log.Arm()) << log.LastError();

        MessageBoxInfo box;
        std::size_t launchesWhileShown = 0;
        const HWND ownerWindow = owner.Get();
        std::thread user([&box, &launchesWhileShown, &log, ownerWindow] {
            const Operator user;
            box = user.WaitForMessageBox(ownerWindow);
            if (box) {
                launchesWhileShown = log.Lines().size();
                user.Answer(box, IDOK);
            }
        });
        ShowUnsupportedSystem(c.code, job);
        user.join();

        ASSERT_TRUE(box) << box.message;
        EXPECT_EQ(box.caption, L"Kestrune - Download Manager");
        EXPECT_EQ(box.text, c.text);
        EXPECT_TRUE(box.hasIcon);
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_EQ(launchesWhileShown, 0u) << "the web site opened before the message was closed";
        ASSERT_TRUE(log.WaitForLines(1, 10000)) << log.Describe();
        const std::vector<std::wstring> arguments = LaunchLog::SplitCommandLine(log.Lines()[0]);
        ASSERT_EQ(arguments.size(), 2u) << log.Describe();
        // The shell may add a slash after the host.
        EXPECT_EQ(arguments[1].rfind(L"http://127.0.0.2", 0), 0u) << log.Describe();
        log.Disarm();
    }
}

} // namespace
