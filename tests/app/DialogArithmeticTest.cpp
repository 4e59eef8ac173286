// The decisions behind the dialog's windows, called directly: where a centred window goes, where
// the progress bar stands, and which program a registered browser command names.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "app/Browser.h"
#include "app/CenteredMessageBox.h"
#include "app/ProgressDisplay.h"
#include "tests/support/TextUtil.h"

namespace kdm_test {
namespace {

TEST(CenteredOrigin, CentresOverTheReferenceWithoutClampingAndHalvesEachSizeSeparately)
{
    const struct {
        const char* what;
        RECT reference;
        int width;
        int height;
        LONG x;
        LONG y;
    } cases[] = {
        {"screen", {0, 0, 1280, 1024}, 400, 300, 440, 362},
        {"offset owner", {40, 60, 940, 660}, 600, 200, 190, 260},
        // (100 - 11) / 2 would give 44: the halves are truncated one by one.
        {"odd window on even reference", {0, 0, 100, 100}, 11, 11, 45, 45},
        {"monitor left of the primary", {-1280, 0, 0, 1024}, 400, 300, -840, 362},
        {"wider than the reference", {500, 400, 700, 500}, 400, 300, 400, 300},
        {"partly off screen", {0, 0, 200, 100}, 400, 300, -100, -100},
        {"reversed reference", {200, 200, 0, 0}, 100, 50, 250, 275},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const POINT origin = CenteredOrigin(c.reference, c.width, c.height);
        EXPECT_EQ(origin.x, c.x);
        EXPECT_EQ(origin.y, c.y);
    }
}

TEST(ProgressPosition, TruncatesTheShareOf5000AndShowsAFullBarBeyondTheTotal)
{
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t tib = std::uint64_t(1) << 40;
    const struct {
        std::uint64_t total;
        std::uint64_t done;
        unsigned int position;
    } cases[] = {
        {10000000, 2500000, 1250},
        {10000000, 0, 0},
        {10000000, 10000000, 5000},
        {3, 1, 1666},
        {3, 2, 3333},
        {tib, tib - 1, 4999},
        {std::uint64_t(1) << 32, std::uint64_t(1) << 31, 2500},
        {max, max / 2, 2500},
        {10000000, 12500000, 5000},
        // A server that sends far more than it announced must not wrap the bar back to empty.
        {1, max, 5000},
        {1, std::uint64_t(1) << 40, 5000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProgressPosition(c.total, c.done), c.position)
            << "done " << c.done << " of " << c.total;
    }
}

TEST(BrowserCommandPath, RemovesEveryOuterQuoteAndKeepsInnerOnes)
{
    const struct {
        const wchar_t* command;
        const wchar_t* path;
    } cases[] = {
        {L"\"C:\\Program Files\\Browser\\browser.exe\"",
         L"C:\\Program Files\\Browser\\browser.exe"},
        {L"C:\\browser.exe", L"C:\\browser.exe"},
        {L"\"\"C:\\browser.exe\"\"", L"C:\\browser.exe"},
        {L"\"C:\\Program Files\\browser.exe\" -osint -url \"%1\"",
         L"C:\\Program Files\\browser.exe\" -osint -url \"%1"},
        {L"a\"b", L"a\"b"},
        {L"\"\"\"", L""},
        {L"", L""},
    };
    for (const auto& c : cases) {
        const MStringEx<wchar_t> path = BrowserCommandPath(MStringEx<wchar_t>(c.command));
        EXPECT_EQ(std::wstring(path.Data()), std::wstring(c.path)) << ToUtf8(c.command);
    }
}

} // namespace
} // namespace kdm_test
