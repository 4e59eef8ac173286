// The test bench's holders: each release call's way of reporting success, and the empty values
// that must release nothing.

#include "tests/support/Win32Holders.h"

#include <gtest/gtest.h>

namespace kdm_test {
namespace {

TEST(Win32Holders, WinsockIsCleanedUpOnlyAfterASuccessfulStart)
{
    WinsockStart outer(StartWinsock22());
    ASSERT_EQ(outer.Get(), 0);
    {
        // An empty holder must not call WSACleanup: that would end the outer start.
        WinsockStart never;
        EXPECT_TRUE(never.IsEmpty());
        EXPECT_FALSE(never.Release());
    }
    SocketHolder socketHolder(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_FALSE(socketHolder.IsEmpty()) << WSAGetLastError();
    EXPECT_TRUE(socketHolder.Release());
    EXPECT_EQ(socketHolder.Get(), INVALID_SOCKET);
    EXPECT_FALSE(socketHolder.Release());

    EXPECT_TRUE(outer.Release());
    EXPECT_EQ(outer.Get(), WSANOTINITIALISED);
}

TEST(Win32Holders, KernelHandles)
{
    HandleHolder missing(CreateFileW(L"C:\\no such folder\\no such file", GENERIC_READ, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(missing.IsEmpty());
    EXPECT_FALSE(missing.Release());
    HandleHolder event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_FALSE(event.IsEmpty());
    EXPECT_TRUE(event.Release());
}

} // namespace
} // namespace kdm_test
