#include <functional>
#include <limits>
#include <utility>

#include <gtest/gtest.h>

#include "foundation/Handles.h"
#include "foundation/Observer.h"
#include "foundation/Units.h"
#include "tests/support/Thrown.h"

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

DWORD WINAPI TryEnterHere(void* section)
{
    const CriticalSectionGuard tried =
        CriticalSectionGuard::TryEnter(*static_cast<CRITICAL_SECTION*>(section));
    return tried.IsEntered() ? 1 : 0;
}

TEST(CriticalSectionGuard, LeavesOnlyWhatWasEntered)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    {
        const CriticalSectionGuard entered = CriticalSectionGuard::Enter(section);
        EXPECT_TRUE(entered.IsEntered());
        EXPECT_FALSE(FreeForOtherThreads(section));
        // Held by this thread: a try from another thread fails and must leave nothing.
        const HANDLE thread = CreateThread(nullptr, 0, TryEnterHere, &section, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        WaitForSingleObject(thread, INFINITE);
        DWORD tried = 2;
        GetExitCodeThread(thread, &tried);
        CloseHandle(thread);
        EXPECT_EQ(tried, 0u);
        EXPECT_FALSE(FreeForOtherThreads(section));
    }
    EXPECT_TRUE(FreeForOtherThreads(section));
    {
        CriticalSectionGuard entered = CriticalSectionGuard::TryEnter(section);
        ASSERT_TRUE(entered.IsEntered());
        entered.Leave();
        entered.Leave();
        EXPECT_FALSE(entered.IsEntered());
    }
    EXPECT_TRUE(FreeForOtherThreads(section));
    DeleteCriticalSection(&section);
}

// Counts the releases of small integers; 0 is the empty value and 13 fails to release.
struct CountedRelease {
    using Handle = int;
    static int released;
    static bool IsEmpty(int value) { return value == 0; }
    static int Empty() { return 0; }
    static BOOL Free(int value)
    {
        ++released;
        return value != 13;
    }
};
int CountedRelease::released = 0;
using Counted = ScopedRelease<CountedRelease>;

TEST(ScopedRelease, OwnershipMovesAndIsReleasedOnce)
{
    CountedRelease::released = 0;
    {
        Counted empty;
        EXPECT_TRUE(empty.IsEmpty());
        Counted first(1);
        Counted moved(std::move(first));
        EXPECT_TRUE(first.IsEmpty());
        EXPECT_EQ(moved.Get(), 1);
        Counted second(2);
        second = std::move(moved); // releases 2, takes 1
        EXPECT_EQ(CountedRelease::released, 1);
        Counted& itself = second;
        second = std::move(itself);
        EXPECT_EQ(second.Get(), 1);
        second.Reset(13); // releases 1
        EXPECT_EQ(CountedRelease::released, 2);
        EXPECT_FALSE(second.Release()); // the failed release is reported, and happens once
        EXPECT_FALSE(second.Release());
        EXPECT_EQ(CountedRelease::released, 3);
        Counted handedOver(4);
        EXPECT_EQ(handedOver.Detach(), 4);
        EXPECT_TRUE(handedOver.IsEmpty());
    }
    EXPECT_EQ(CountedRelease::released, 3);
}

// Each release call reports success its own way (a BOOL, an error code, a null result); the
// guard's result is TRUE for all of them.
TEST(ScopedRelease, ReleaseResultsOfTheSystemResources)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_TRUE(RegistryKeyGuard(key).Release());

    GlobalMemoryGuard block(GlobalAlloc(GPTR, 16));
    ASSERT_FALSE(block.IsEmpty());
    EXPECT_TRUE(block.Release());

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0,
                                         0, 0, 0, 0, &sid));
    EXPECT_TRUE(SidGuard(sid).Release());

    TlsSlotGuard slot(TlsAlloc());
    ASSERT_FALSE(slot.IsEmpty());
    EXPECT_TRUE(slot.Release());
    EXPECT_EQ(slot.Get(), TLS_OUT_OF_INDEXES);

    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EXPECT_TRUE(CriticalSectionLifetime(&section).Release());
}

TEST(ScopedRelease, EmptyValues)
{
    EXPECT_FALSE(TlsSlotRelease::IsEmpty(0)); // the first slot of a process is index 0
    EXPECT_TRUE(TlsSlotGuard().IsEmpty());
    EXPECT_FALSE(TlsSlotGuard(TLS_OUT_OF_INDEXES).Release());
    EXPECT_FALSE(RegistryKeyGuard(nullptr).Release());
    EXPECT_FALSE(GlobalMemoryGuard(nullptr).Release());
    EXPECT_FALSE(SidGuard(nullptr).Release());
    EXPECT_EQ(FindGuard().Get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FindGuard(INVALID_HANDLE_VALUE).Release());
}

} // namespace
