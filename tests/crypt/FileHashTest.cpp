#include "crypt/Crypt.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/Handles.h"
#include "tests/crypt/TestContainer.h"
#include "tests/support/Thrown.h"
#include "tests/support/WaitUntil.h"

namespace {

const std::uint64_t MiB = 0x100000;
const char kEmptySha1[] = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";

struct Call {
    std::uint64_t done, total, blockSize;
    bool operator==(const Call& o) const
    {
        return done == o.done && total == o.total && blockSize == o.blockSize;
    }
};

// Records every notification; answers false to the one numbered stopAt (1 = the first).
class RecordingObserver : public MObserver {
public:
    explicit RecordingObserver(HANDLE pause = INVALID_HANDLE_VALUE, std::size_t stopAt = 0)
        : MObserver(pause), stopAt(stopAt)
    {
    }
    bool Notify(std::uint64_t done, std::uint64_t total, std::uint64_t blockSize) override
    {
        calls.push_back({done, total, blockSize});
        return calls.size() != stopAt;
    }

    std::vector<Call> calls;

private:
    std::size_t stopAt;
};

// A file in the temporary folder with the given contents, deleted at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& contents)
    {
        wchar_t folder[MAX_PATH] = {};
        wchar_t name[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"kdm", 0, name);
        path = name;
        MHandle file(Open(GENERIC_WRITE));
        DWORD written = 0;
        WriteFile(file.Get(), contents.data(), static_cast<DWORD>(contents.size()), &written,
                  nullptr);
    }
    ~TempFile() { DeleteFileW(path.c_str()); }

    HANDLE Open(DWORD access) const
    {
        return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

private:
    std::wstring path;
};

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + (i >> 11)) & 0xFF);
    }
    return bytes;
}

std::string Hex(const MAtom<unsigned char>& bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint32_t i = 0; i < bytes.Count(); ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// A response header's value as the transfer delivers it: UTF-16 bytes.
MemoryPH<unsigned char> HeaderValue(const std::wstring& text)
{
    MemoryPH<unsigned char> bytes(static_cast<std::uint32_t>(text.size() * sizeof(wchar_t)));
    if (!text.empty()) {
        std::memcpy(bytes.Data(), text.data(), bytes.Count());
    }
    return bytes;
}

std::uint64_t Position(HANDLE file)
{
    LARGE_INTEGER position{};
    SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT);
    return static_cast<std::uint64_t>(position.QuadPart);
}

void MoveTo(HANDLE file, std::int64_t position)
{
    LARGE_INTEGER target{};
    target.QuadPart = position;
    SetFilePointerEx(file, target, nullptr, FILE_BEGIN);
}

class FileHash : public ::testing::Test {
protected:
    TestContainer container;
    MAAuthenticator authenticator{container.Name()};
};

TEST_F(FileHash, DigestsNotificationsAndPosition)
{
    struct Case {
        std::string contents;
        std::string sha1;
        std::vector<Call> calls;
    };
    const std::uint64_t size = 2 * MiB + MiB / 2;
    const Case cases[] = {
        {"", kEmptySha1, {{0, 0, 0}}},
        {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D", {{0, 3, 3}, {3, 3, 3}}},
        {Pattern(size),
         "D9FB23350949D45151071F816CD416C01CB6D547",
         {{0, size, MiB}, {MiB, size, MiB}, {2 * MiB, size, MiB}, {size, size, MiB}}},
    };
    for (const Case& c : cases) {
        TempFile temp(c.contents);
        MHandle file(temp.Open(GENERIC_READ | GENERIC_WRITE));
        const std::int64_t before = static_cast<std::int64_t>(c.contents.size() / 2);
        MoveTo(file.Get(), before);
        RecordingObserver observer;
        MemoryPH<unsigned char> digest;

        ASSERT_TRUE(authenticator.HashFile(file.Get(), digest, observer));
        EXPECT_EQ(Hex(digest), c.sha1);
        EXPECT_EQ(observer.calls, c.calls) << c.contents.size();
        EXPECT_EQ(Position(file.Get()), static_cast<std::uint64_t>(before));
        // The download's comparison with the server's hash code.
        EXPECT_FALSE(digest.NotEquals(
            DecodeHashCode(HeaderValue(std::wstring(c.sha1.begin(), c.sha1.end())))));
    }
}

TEST_F(FileHash, ObserverStopEmptiesTheDigest)
{
    TempFile temp(Pattern(2 * MiB + 1));
    MHandle file(temp.Open(GENERIC_READ));
    MoveTo(file.Get(), 5);
    RecordingObserver observer(INVALID_HANDLE_VALUE, 2);
    MemoryPH<unsigned char> digest(20);

    EXPECT_FALSE(authenticator.HashFile(file.Get(), digest, observer));
    EXPECT_EQ(digest.Count(), 0u);
    EXPECT_EQ(observer.calls.size(), 2u);
    EXPECT_EQ(Position(file.Get()), 5u);
}

TEST_F(FileHash, FailuresRaiseTheSystemErrorAndRestoreThePosition)
{
    TempFile temp("some bytes");
    MemoryPH<unsigned char> digest = DecodeHashCode(HeaderValue(L"0102"));

    MHandle writeOnly(temp.Open(GENERIC_WRITE));
    MoveTo(writeOnly.Get(), 3);
    RecordingObserver observer;
    try {
        authenticator.HashFile(writeOnly.Get(), digest, observer);
        ADD_FAILURE() << "read without read access";
    } catch (const MCryptException& e) {
        EXPECT_EQ(e.Code(), 8u);
        EXPECT_EQ(e.Error(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(Position(writeOnly.Get()), 3u);

    MAAuthenticator unknownAlgorithm(container.Name(), MAsymmetric::KeyLength(),
                                     MAAuthenticator::MAAuthAlgHash(0x80FF));
    MHandle file(temp.Open(GENERIC_READ));
    MoveTo(file.Get(), 4);
    try {
        unknownAlgorithm.HashFile(file.Get(), digest, observer);
        ADD_FAILURE() << "hash of an unknown algorithm";
    } catch (const MCryptException& e) {
        EXPECT_EQ(e.Code(), 8u);
        EXPECT_EQ(e.Error(), static_cast<std::uint32_t>(NTE_BAD_ALGID));
    }
    EXPECT_EQ(Position(file.Get()), 4u);
    EXPECT_EQ(Hex(digest), "0102");
}

struct PausedRun {
    MAAuthenticator* authenticator;
    HANDLE file;
    RecordingObserver* observer;
    bool complete;
};

DWORD WINAPI RunHashFile(void* argument)
{
    PausedRun* const run = static_cast<PausedRun*>(argument);
    try {
        MemoryPH<unsigned char> digest;
        run->complete = run->authenticator->HashFile(run->file, digest, *run->observer);
    } catch (...) {
        run->complete = false;
    }
    return 0;
}

TEST_F(FileHash, PauseHandleHoldsTheLoopUntilSignalled)
{
    TempFile temp("abc");
    MHandle file(temp.Open(GENERIC_READ));
    MHandle resume(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    RecordingObserver observer(resume.Get());
    PausedRun run{&authenticator, file.Get(), &observer, false};

    MHandle thread(CreateThread(nullptr, 0, RunHashFile, &run, 0, nullptr));
    ASSERT_TRUE(thread.IsValid());
    EXPECT_EQ(WaitForSingleObject(thread.Get(), kdm_test::ScaledMs(300)),
              static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(observer.calls.empty());
    SetEvent(resume.Get());
    ASSERT_EQ(WaitForSingleObject(thread.Get(), kdm_test::ScaledMs(10000)),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(observer.calls.size(), 2u);
}

TEST(DecodeHashCode, HexadecimalTextUpToTheFirstNull)
{
    struct Case {
        std::wstring value;
        AtomError error;
        std::string bytes;
    };
    const Case cases[] = {
        {L"DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", kNoError, kEmptySha1},
        {L"da39a3ee5e6b4b0d3255bfef95601890afd80709", {10, 13}, ""},
        {L"DA39A3EE5E6B4B0D3255BFEF95601890AFD8070", {5, 0}, ""},
        {std::wstring(L"ABCD\0zz!", 8), kNoError, "ABCD"},
        {L"", kNoError, ""},
        {L"AB C", {10, 13}, ""},
        {L"0G", {10, 13}, ""},
        {L"\u00C4\u00C4", {10, 13}, ""}, // non-ASCII: four UTF-8 bytes
        {L"\u00C4", {10, 13}, ""},
        {L"A\u00C4", {5, 0}, ""}, // three UTF-8 bytes
    };
    for (const Case& c : cases) {
        const MemoryPH<unsigned char> value = HeaderValue(c.value);
        std::string decoded;
        EXPECT_EQ(ThrownAtom([&] { decoded = Hex(DecodeHashCode(value)); }), c.error)
            << c.value.size();
        EXPECT_EQ(decoded, c.bytes);
    }

    MemoryPH<unsigned char> oddBytes(3);
    std::memcpy(oddBytes.Data(), "AB\0", 3);
    EXPECT_EQ(ThrownCode<MUnitException>([&] { DecodeHashCode(oddBytes); }), 5);
}

TEST(DecodeHashCode, DigestOfAnotherLengthDiffers)
{
    const MemoryPH<unsigned char> sha256 = DecodeHashCode(
        HeaderValue(L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
    EXPECT_EQ(sha256.Count(), 32u);
    const MemoryPH<unsigned char> sha1 =
        DecodeHashCode(HeaderValue(L"A9993E364706816ABA3E25717850C26C9CD0D89D"));
    EXPECT_TRUE(sha1.NotEquals(sha256));
    EXPECT_TRUE(sha1.NotEquals(DecodeHashCode(HeaderValue(L""))));
}

} // namespace
