#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include "foundation/Handles.h"
#include "foundation/Observer.h"
#include "foundation/Units.h"
#include "tests/foundation/Thrown.h"

namespace {

const std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

TEST(Units, RaiseAtTheirBounds)
{
    EXPECT_EQ(UnitAdd(kMax - 1, 1), kMax);
    EXPECT_EQ(UnitNarrow(kMax), kMax);

    const struct {
        std::function<void()> call;
        std::int64_t code;
    } cases[] = {
        {[] { UnitIncrement(kMax); }, MUnitException::IncrementOverflow},
        {[] { UnitDecrement(0); }, MUnitException::DecrementUnderflow},
        {[] { UnitAdd(kMax, 1); }, MUnitException::AdditionOverflow},
        {[] { UnitSubtract(0, 1); }, MUnitException::SubtractionUnderflow},
        {[] { UnitDivideExact(7, 2); }, MUnitException::DivisionRemainder},
        {[] { UnitDivideExact(7, 0); }, MUnitException::DivisionByZero},
        {[] { UnitNarrow(std::uint64_t(kMax) + 1); }, MUnitException::NarrowingOverflow},
        {[] { UnitNarrow<int>(0x80000000u); }, MUnitException::NarrowingOverflow},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ThrownCode<MUnitException>(c.call), c.code);
    }
}

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(MHandle, ClosesExactlyOnce)
{
    HANDLE other = nullptr;
    {
        MHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const HANDLE raw = event.Get();
        ASSERT_TRUE(event.IsValid());
        EXPECT_TRUE(event.Close());
        EXPECT_FALSE(IsOpen(raw));
        EXPECT_FALSE(event.IsValid());
        // The system may hand the same value out again; the destructor must not close it.
        other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    EXPECT_TRUE(IsOpen(other));
    CloseHandle(other);

}

TEST(Guards, ReleaseOnceAndNothingWhenEmpty)
{
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(path, MAX_PATH), 0u);
    WIN32_FIND_DATAW found{};
    FindGuard find(FindFirstFileW(path, &found));
    ASSERT_FALSE(find.IsEmpty());
    EXPECT_TRUE(find.Release());
    EXPECT_EQ(find.Get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(find.Release());
    EXPECT_FALSE(FindGuard(nullptr).Release());
    EXPECT_FALSE(InternetHandleGuard(nullptr).Release());
}

DWORD WINAPI TryEnterFromAnotherThread(void* section)
{
    if (!TryEnterCriticalSection(static_cast<CRITICAL_SECTION*>(section))) {
        return 0;
    }
    LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(section));
    return 1;
}

bool FreeForOtherThreads(CRITICAL_SECTION& section)
{
    const HANDLE thread = CreateThread(nullptr, 0, TryEnterFromAnotherThread, &section, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD result = 0;
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result == 1;
}

TEST(CriticalSectionGuard, LeavesOnlyWhatWasEntered)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    {
        CriticalSectionGuard notEntered(section, false);
    }
    EXPECT_FALSE(FreeForOtherThreads(section));
    {
        CriticalSectionGuard entered(section, true);
        entered.Leave();
        entered.Leave();
    }
    EXPECT_TRUE(FreeForOtherThreads(section));
    DeleteCriticalSection(&section);
}

}  // namespace
