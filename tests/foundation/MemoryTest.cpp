#include "foundation/Memory.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/StringEx.h"
#include "tests/support/Thrown.h"

namespace {

using Bytes = MemoryPH<unsigned char>;

Bytes BytesOf(const std::vector<unsigned char>& values)
{
    Bytes bytes(static_cast<std::uint32_t>(values.size()));
    if (!values.empty()) {
        std::memcpy(bytes.Data(), values.data(), values.size());
    }
    return bytes;
}

std::vector<unsigned char> ValuesOf(const MAtom<unsigned char>& bytes)
{
    return std::vector<unsigned char>(bytes.Data(), bytes.Data() + bytes.Count());
}

TEST(MemoryPH, ZeroElementsStillHoldABlock)
{
    Bytes empty;
    Bytes other(0);
    EXPECT_NE(empty.Data(), nullptr);
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_TRUE(empty.Equals(other));
    empty.Clear();
    EXPECT_NE(empty.Data(), nullptr);
}

TEST(MemoryPH, RangeChecksOfCopies)
{
    struct Case {
        std::uint32_t dstCount, srcCount, dstPos, srcPos, n;
        AtomError expected;
    };
    const Case cases[] = {
        {4, 4, 2, 0, 3, {6, 0}},   // destination too small
        {4, 4, 0, 3, 2, {7, 0}},   // source range too short
        {4, 4, 9, 9, 0, kNoError}, // nothing to copy: no checks
        {4, 4, 1, 2, 2, kNoError}, {4, 0, 0, 0, 1, {7, 0}},
    };
    for (const Case& c : cases) {
        Bytes dst(c.dstCount);
        Bytes src(c.srcCount);
        EXPECT_EQ(ThrownAtom([&] { dst.CopyRange(c.dstPos, src, c.srcPos, c.n); }), c.expected)
            << c.dstPos << " " << c.srcPos << " " << c.n;
    }
    EXPECT_EQ(ThrownCode<MUnitException>([] {
                  Bytes dst(4);
                  Bytes src(4);
                  dst.CopyRange(0xFFFFFFFFu, src, 0, 1);
              }),
              MUnitException::AdditionOverflow);

    Bytes four(4);
    EXPECT_EQ(ThrownAtom([&] { four.Truncate(5); }), AtomError(1, 0));
    EXPECT_EQ(ThrownAtom([&] { four[4]; }), AtomError(1, 0));
}

TEST(MemoryPH, WholeSourceCopies)
{
    Bytes four = BytesOf({0, 0, 0, 0});
    EXPECT_EQ(ThrownAtom([&] { four.CopyFrom(BytesOf({1, 2, 3, 4, 5})); }), AtomError(6, 0));
    four.CopyFrom(Bytes(0));
    EXPECT_EQ(ValuesOf(four), (std::vector<unsigned char>{0, 0, 0, 0}));

    std::uint32_t pos = 1;
    four.CopyAt(pos, BytesOf({7, 8}), true);
    EXPECT_EQ(pos, 3u);
    four.CopyAt(0, BytesOf({9}));

    std::uint32_t srcPos = 1;
    four.CopyRangeAdvance(pos, false, BytesOf({5, 6}), srcPos, true, 1);
    EXPECT_EQ(srcPos, 2u);
    EXPECT_EQ(ValuesOf(four), (std::vector<unsigned char>{9, 7, 8, 6}));
}

TEST(MemoryPH, AssignFromAViewOfItself)
{
    Bytes bytes = BytesOf({1, 2, 3, 4});
    bytes.AssignFrom(SubView(bytes, 1, 2));
    EXPECT_EQ(ValuesOf(bytes), (std::vector<unsigned char>{2, 3}));
}

TEST(MemoryPH, MovedFromBufferKeepsAnEmptyBlock)
{
    Bytes source = BytesOf({1, 2});
    Bytes target(std::move(source));
    EXPECT_EQ(ValuesOf(target), (std::vector<unsigned char>{1, 2}));
    EXPECT_EQ(source.Count(), 0u);
    EXPECT_NE(source.Data(), nullptr);
}

// A string's block always ends in its terminator: it never gives its block to a plain buffer nor
// takes one from it, whichever way the move is written.
TEST(MemoryPH, MovesOnlyBetweenBuffersOfOneType)
{
    MStringEx<char> text("abc");
    MemoryPH<char>& asBuffer = text;
    EXPECT_EQ(ThrownAtom([&] { MemoryPH<char> taken(std::move(text)); }), AtomError(5, 0));
    EXPECT_EQ(ThrownAtom([&] { MemoryPH<char> taken(std::move(asBuffer)); }), AtomError(5, 0));

    MemoryPH<char> unterminated(2);
    unterminated[0] = 'x';
    unterminated[1] = 'y';
    EXPECT_EQ(ThrownAtom([&] { unterminated = std::move(text); }), AtomError(5, 0));
    EXPECT_EQ(ThrownAtom([&] { asBuffer = std::move(unterminated); }), AtomError(5, 0));
    EXPECT_STREQ(text.Data(), "abc");
    EXPECT_EQ(text.Count(), 4u);
    EXPECT_EQ(unterminated.Count(), 2u);

    MStringEx<char> other("de");
    asBuffer = std::move(static_cast<MemoryPH<char>&>(other));
    EXPECT_STREQ(text.Data(), "de");
    EXPECT_STREQ(other.Data(), "abc");
}

TEST(MemoryPH, ExhaustedHeapRaisesInsteadOfCrashing)
{
    EXPECT_EQ(ThrownAtom([] { Bytes huge(0xFFFFFFF0u); }), AtomError(8, 8));
    Bytes bytes(4);
    EXPECT_EQ(ThrownAtom([&] { bytes.Reallocate(0xFFFFFFF0u); }), AtomError(8, 8));
    EXPECT_EQ(bytes.Count(), 0u); // the old block is gone; destruction is still safe
    using Zeroed = MMemoryPH<unsigned char, HEAP_ZERO_MEMORY | HEAP_GENERATE_EXCEPTIONS>;
    EXPECT_EQ(ThrownAtom([] { Zeroed huge(0xFFFFFFF0u); }), AtomError(8, 8));
}

TEST(ShellMemory, ViewRules)
{
    Bytes owner = BytesOf({1, 2, 3, 4});
    EXPECT_EQ(ThrownAtom([] { ShellMemory<unsigned char>(1, nullptr); }), AtomError(0, 0));

    ShellMemory<unsigned char> view = SubView(owner, 1, 3);
    EXPECT_EQ(ThrownAtom([&] { SubView(owner, 2, 3); }), AtomError(7, 0));
    view[0] = 9;
    EXPECT_EQ(owner[1], 9);
    EXPECT_EQ(ThrownAtom([&] { view.Reallocate(2); }), AtomError(2, 0));
    view.Clear();
    view.Reallocate(2);
    EXPECT_EQ(view.Count(), 2u);
    // A detached view has no memory to copy into or compare, whatever its count says.
    EXPECT_EQ(ThrownAtom([&] { view.CopyFrom(BytesOf({1})); }), AtomError(0, 0));
    EXPECT_EQ(ThrownAtom([&] { view[0]; }), AtomError(0, 0));
    const Bytes two = BytesOf({1, 2});
    EXPECT_EQ(ThrownAtom([&] { view.Equals(two); }), AtomError(0, 0));
    EXPECT_EQ(ThrownAtom([&] { two.Equals(view); }), AtomError(0, 0));
    EXPECT_EQ(ThrownAtom([&] { view.NotEquals(two); }), AtomError(0, 0));
    EXPECT_FALSE(view.Equals(BytesOf({1})));
    view.Attach(owner);
    EXPECT_EQ(view.Data(), owner.Data());
    EXPECT_EQ(view.Count(), 4u);
}

TEST(Exchange, OnlyBuffersOfOneKind)
{
    Bytes a = BytesOf({1});
    Bytes b = BytesOf({2, 3});
    Exchange(a, b);
    EXPECT_EQ(ValuesOf(a), (std::vector<unsigned char>{2, 3}));
    EXPECT_EQ(ValuesOf(b), (std::vector<unsigned char>{1}));
    ShellMemory<unsigned char> view = SubView(a, 0, 1);
    EXPECT_EQ(ThrownAtom([&] { Exchange<unsigned char>(a, view); }), AtomError(5, 0));
}

TEST(ByteAndWideViews, ShareTheMemory)
{
    MemoryPH<wchar_t> wide(2);
    wide[0] = L'A';
    wide[1] = 0x20AC;
    ShellMemory<unsigned char> bytes = ByteView(wide);
    EXPECT_EQ(ValuesOf(bytes), (std::vector<unsigned char>{0x41, 0, 0xAC, 0x20}));
    ShellMemory<wchar_t> back = WideView(bytes);
    EXPECT_EQ(back.Count(), 2u);
    EXPECT_EQ(back[1], 0x20AC);
    Bytes odd(3);
    EXPECT_EQ(ThrownCode<MUnitException>([&] { WideView(odd); }),
              MUnitException::DivisionRemainder);
}

TEST(DecodeHex, Table)
{
    struct Case {
        const char* text;
        AtomError expected;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"0A1B", kNoError, {0x0A, 0x1B}},
        {"FF0090", kNoError, {0xFF, 0x00, 0x90}},
        {"", kNoError, {}},
        {"0a1b", {10, 13}, {}},
        {"0:1B", {10, 13}, {}},
        {"0G", {10, 13}, {}},
        {"0 ", {10, 13}, {}},
        {"ABC", {5, 0}, {}},
    };
    for (const Case& c : cases) {
        Bytes text(static_cast<std::uint32_t>(std::strlen(c.text)));
        if (text.Count() != 0) {
            std::memcpy(text.Data(), c.text, text.Count());
        }
        EXPECT_EQ(ThrownAtom([&] { DecodeHex(text); }), c.expected) << c.text;
        if (c.expected == kNoError) {
            EXPECT_EQ(ValuesOf(text), c.bytes) << c.text;
        }
    }
}

TEST(MMemoryPH, ZeroedBlocksAndUnits)
{
    MMemoryPH<wchar_t, HEAP_ZERO_MEMORY | HEAP_GENERATE_EXCEPTIONS> block(7);
    EXPECT_EQ(MMemory<wchar_t>::MemUnits(block).Units(), 3u);
    block.Reallocate(MMemory<wchar_t>::MemUnits(5));
    EXPECT_EQ(block.Size(), 10u);
    EXPECT_EQ(std::wstring(block.Data(), 5), std::wstring(5, L'\0'));
}

} // namespace
