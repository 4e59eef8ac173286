#include "foundation/StringEx.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/Thrown.h"

namespace {

using Text = MStringEx<wchar_t>;

std::wstring Std(const Text& text)
{
    return std::wstring(text.Data(), text.Length());
}

TEST(MStringEx, TheEmptyString)
{
    const Text empty;
    EXPECT_EQ(empty.Count(), 1u);
    EXPECT_EQ(empty.Length(), 0u);
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.Data()[0], L'\0');
    for (const Text& derived : {empty.Left(3), empty.Right(3), empty.Mid(0), empty.Extension(),
                                Text(static_cast<const wchar_t*>(nullptr))}) {
        EXPECT_TRUE(derived.IsEmpty());
    }
}

TEST(MStringEx, FromWideMemory)
{
    MMemoryPH<wchar_t, HEAP_ZERO_MEMORY> value(10); // "ab" then nulls
    value.Data()[0] = L'a';
    value.Data()[1] = L'b';
    EXPECT_EQ(Std(Text(value)), L"ab");
    value.Data()[4] = L'e';
    for (std::uint32_t i = 0; i < 5; ++i) {
        value.Data()[i] = L'x';
    }
    EXPECT_EQ(Std(Text(value)), L"xxxxx"); // no null: all of it plus a terminator

    wchar_t header[] = {L'4', L'2', 0, L'9'};
    const ShellMemory<wchar_t> view(4, header);
    EXPECT_EQ(Std(Text(view, true)), L"42");
    const Text whole(view, false);
    EXPECT_EQ(whole.Count(), 5u);
    EXPECT_EQ(whole.Data()[3], L'9');
}

TEST(MStringEx, FormatsTheMicrosoftWay)
{
    const Text text = Text::Format(L"%s|%d|%04x|%I64u", L"wide", -5, 0x1a,
                                   static_cast<unsigned long long>(18446744073709551615ull));
    EXPECT_EQ(Std(text), L"wide|-5|001a|18446744073709551615");
    EXPECT_EQ(text.Count(), text.Length() + 1);
    EXPECT_TRUE(Text::Format(nullptr).IsEmpty());
    // A string object passes its text, never the object itself.
    EXPECT_EQ(Std(Text::Format(L"%s-%s", Text(L"left"), L"right")), L"left-right");
}

TEST(MStringEx, FromUInt64GroupsDigits)
{
    const struct {
        std::uint64_t value;
        const wchar_t* text;
    } cases[] = {
        {0, L"0"},
        {999, L"999"},
        {1000, L"1,000"},
        {100000, L"100,000"},
        {1234567, L"1,234,567"},
        {18446744073709551615ull, L"18,446,744,073,709,551,615"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Std(Text::FromUInt64(c.value)), c.text);
    }
    Text digits(L"1234567");
    digits.GroupDigits(L". ");
    EXPECT_EQ(Std(digits), L"1. 234. 567");
    digits = L"1234";
    digits.GroupDigits(L"");
    EXPECT_EQ(Std(digits), L"1234");
}

TEST(MStringEx, ToUInt64)
{
    const std::uint64_t all = 18446744073709551615ull;
    const struct {
        const wchar_t* text;
        int radix;
        std::uint64_t value;
        bool ok;
    } cases[] = {
        {L"123", 10, 123, true},
        {L"", 10, 0, true},
        {L"12a", 10, 0, false},
        {L" 1", 10, 0, false},
        {L"-1", 10, 0, false},
        {L"ff", 16, 255, true},
        {L"FF", 16, 255, true},
        {L"101", 2, 5, true},
        {L"777", 8, 511, true},
        {L"8", 8, 0, false},
        {L"12", 7, 0, false},
        {L"18446744073709551615", 10, all, true},
        {L"000018446744073709551615", 10, all, true},
        {L"18446744073709551616", 10, all, false},
        {L"99999999999999999999", 10, all, false},
        {L"100000000000000000000", 10, all, false},
        {L"FFFFFFFFFFFFFFFF", 16, all, true},
        {L"10000000000000000", 16, all, false},
    };
    for (const auto& c : cases) {
        Text text(c.text);
        text.SetRadix(c.radix);
        std::uint64_t value = 7;
        EXPECT_EQ(text.ToUInt64(value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(MStringEx, Searches)
{
    EXPECT_EQ(Text(L"ab://cd").Find(L"//"), 3);
    EXPECT_EQ(Text(L"ab/cd").Find(L"//"), -1);
    EXPECT_EQ(Text(L"").Find(L"//"), -1);
    EXPECT_EQ(Text(L"/").Find(L"//"), -1);
    EXPECT_EQ(Text(L"ab").Find(L""), 0);
    EXPECT_EQ(Text(L"xxab").Find(L"ab"), 2);

    const Text address(L"http://host/path/x"); // slashes at 5, 6 and 11
    EXPECT_EQ(address.FindCharNoCase(L'/', 7), 11);
    EXPECT_EQ(Text(L"http://host").FindCharNoCase(L'/', 7), -1);
    EXPECT_EQ(Text(L"aBc").FindCharNoCase(L'b', 0), 1);
    EXPECT_EQ(ThrownAtom([] { Text(L"ab").FindCharNoCase(L'/', 3); }), AtomError(1, 0));
}

TEST(MStringEx, Substrings)
{
    const Text text(L"setup.1.msi");
    EXPECT_EQ(Std(text.Left(5)), L"setup");
    EXPECT_EQ(Std(text.Right(3)), L"msi");
    EXPECT_EQ(Std(text.Right(99)), L"setup.1.msi");
    EXPECT_EQ(Std(text.Mid(6)), L"1.msi");
    EXPECT_TRUE(text.Mid(11).IsEmpty());
    EXPECT_EQ(Std(text.Extension()), L"msi");
    EXPECT_TRUE(Text(L"setup").Extension().IsEmpty());
    EXPECT_EQ(Std(Text(L"host/path").LeftOfChar(L'/')), L"host");
    EXPECT_EQ(Std(Text(L"host").LeftOfChar(L'/')), L"host");
    EXPECT_TRUE(Text(L"/x").LeftOfChar(L'/').IsEmpty());
}

TEST(MStringEx, TrimsTheWhiteSpaceSet)
{
    const wchar_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,
                             0x85,   0xA0,   0x1680, 0x180E, 0x2000, 0x2005,
                             0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (const wchar_t ch : white) {
        Text text = Text(std::wstring(2, ch).c_str()) + L"x" + std::wstring(1, ch).c_str();
        text.Trim();
        EXPECT_EQ(Std(text), L"x") << static_cast<int>(ch);
    }
    for (const wchar_t ch : {wchar_t(0x200B), wchar_t(0xFEFF), wchar_t(0x1F)}) {
        const wchar_t raw[] = {ch, L'x', ch, 0};
        Text text(raw);
        text.Trim();
        EXPECT_EQ(text.Length(), 3u) << static_cast<int>(ch);
    }
    Text onlyWhite(L"\x3000 ");
    onlyWhite.Trim();
    EXPECT_TRUE(onlyWhite.IsEmpty());

    Text left(L" \tx ");
    left.TrimLeft();
    EXPECT_EQ(Std(left), L"x ");

    Text quoted(L"\"quoted\"");
    quoted.TrimRight(L'"');
    EXPECT_EQ(Std(quoted), L"\"quoted");
    Text dots(L"..setup..");
    dots.Trim(L'.');
    EXPECT_EQ(Std(dots), L"setup");
}

TEST(MStringEx, RadixIsCopiedOnlyByCopies)
{
    Text hex(L" ff ");
    hex.SetRadix(16);
    EXPECT_EQ(Text(hex).Radix(), 16);
    Text assigned;
    assigned = hex;
    assigned = L"ab";
    EXPECT_EQ(assigned.Radix(), 16);
    EXPECT_EQ(hex.Left(2).Radix(), 10);
    EXPECT_EQ((hex + L"x").Radix(), 10);
    hex.TrimLeft(L'x');
    EXPECT_EQ(hex.Radix(), 16); // nothing removed
    hex.Trim();
    EXPECT_EQ(hex.Radix(), 10);
}

TEST(MStringEx, AssignmentReusesABlockOfEqualCount)
{
    Text target(L"abc");
    const wchar_t* const block = target.Data();
    target = Text(L"xyz");
    EXPECT_EQ(target.Data(), block);
    EXPECT_EQ(Std(target), L"xyz");
    target = Text(L"longer");
    EXPECT_EQ(Std(target), L"longer");
}

TEST(MStringEx, CaseInsensitiveComparisons)
{
    Text upper(L"ABC");
    Text lower(L"abc");
    EXPECT_TRUE(upper.EqualsNoCase(lower));
    EXPECT_FALSE(upper == lower);
    lower.SetRadix(16);
    EXPECT_FALSE(upper.EqualsNoCase(lower));
    EXPECT_FALSE(Text(L"\x00C4").EqualsNoCase(L"\x00E4"));
    EXPECT_FALSE(Text(L"ab").EqualsNoCase(L"abc"));

    EXPECT_TRUE(Text(L"HTTP://host").StartsWithNoCase(L"http://"));
    EXPECT_FALSE(Text(L"http:").StartsWithNoCase(L"http://"));
    EXPECT_FALSE(Text(L"http://").StartsWithNoCase(L""));
}

TEST(MStringEx, ConcatenationAndEdits)
{
    const wchar_t* const none = nullptr;
    EXPECT_EQ(Std(Text(L"ab") + Text(L"cd")), L"abcd");
    EXPECT_EQ(Std(Text(L"ab") + none), L"ab");
    EXPECT_EQ(Std(none + Text(L"cd")), L"cd");
    EXPECT_EQ(Std(L"http://" + Text(L"host")), L"http://host");
    Text text(L"a\\b\\c");
    text.ReplaceBackslashes();
    text.Append(L"/d");
    EXPECT_EQ(Std(text), L"a/b/c/d");
    EXPECT_EQ(text.Count(), 8u);
    text.Clear();
    EXPECT_TRUE(text.IsEmpty());
}

TEST(MStringEx, ToUtf8)
{
    const MStringEx<char> accented = Text(L"\x00E9").ToUtf8();
    ASSERT_EQ(accented.Count(), 3u);
    EXPECT_EQ(static_cast<unsigned char>(accented.Data()[0]), 0xC3);
    EXPECT_EQ(static_cast<unsigned char>(accented.Data()[1]), 0xA9);
    EXPECT_EQ(accented.Data()[2], '\0');
    EXPECT_EQ(Text(L"").ToUtf8().Count(), 1u);
    EXPECT_EQ(std::string(Text(L"\xD83D\xDE00 x").ToUtf8().Data()), "\xF0\x9F\x98\x80 x");
}

TEST(MStringEx, Win32ErrorTexts)
{
    const Text missing = Text::FromWin32Error(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(missing.IsEmpty());
    EXPECT_NE(Std(missing), L"Unknown.");
    EXPECT_NE(missing.Data()[missing.Length() - 1], L'\n');
    EXPECT_EQ(Std(Text::FromWin32Error(0x2FFFFFFF)), L"Unknown.");

    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(Text::FromLastError() == missing);

    // A language without system texts falls back to the system's choice.
    messageLanguage = MAKELANGID(LANG_ZULU, SUBLANG_DEFAULT);
    const Text fallback = Text::FromWin32Error(ERROR_FILE_NOT_FOUND);
    messageLanguage = 0;
    EXPECT_TRUE(fallback == missing);
}

} // namespace
