// The one poll of the test bench: when it asks, when it gives up, and what it answers.
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

namespace kdm_test {
namespace {

TEST(WaitUntil, AsksAtOnceAndStopsAtTheFirstTrue)
{
    int asked = 0;
    EXPECT_TRUE(WaitUntil([&] { return ++asked == 1; }, 0));
    EXPECT_EQ(asked, 1);

    asked = 0;
    EXPECT_TRUE(WaitUntil([&] { return ++asked == 3; }, 5000));
    EXPECT_EQ(asked, 3);

    asked = 0;
    EXPECT_FALSE(WaitUntil([&] { return ++asked < 0; }, 0)) << "a timeout of 0 asks once";
    EXPECT_EQ(asked, 1);
}

TEST(WaitUntil, GivesUpOnlyAfterTheTimeoutAndSeesAConditionMetAsItRunsOut)
{
    const DWORD timeoutMs = 200;
    int asked = 0;
    DWORD start = GetTickCount();
    EXPECT_FALSE(WaitUntil([&] { return ++asked < 0; }, timeoutMs));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, timeoutMs);
    EXPECT_LT(elapsed, timeoutMs + 2000) << "it kept asking long after the timeout";
    EXPECT_GE(asked, 2);

    // Met only once the time is up: the question after the last sleep sees it.
    start = GetTickCount();
    EXPECT_TRUE(WaitUntil([&] { return GetTickCount() - start >= timeoutMs; }, timeoutMs));
}

} // namespace
} // namespace kdm_test
