// The HTTP transfer against the scriptable loopback server: the request on the wire, the total,
// the wanted headers, the progress messages and cancelling.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/net/TransferFixture.h"
#include "tests/support/TextUtil.h"

namespace kdm_net_test {
namespace {

using kdm_test::FirstPatternMismatch;
using kdm_test::PatternBytes;
using kdm_test::RecordedRequest;
using kdm_test::Response;

TEST(TransferRulesTest, AddressGetsSchemeAndProbeTakesSchemeAndHost)
{
    const struct {
        const wchar_t* address;
        const wchar_t* requested;
        const wchar_t* probed;
    } cases[] = {
        {L"download.example/kdm/package.msi", L"http://download.example/kdm/package.msi",
         L"http://download.example"},
        {L"http://download.example", L"http://download.example", L"http://download.example"},
        {L"https://secure.example/a/b", L"https://secure.example/a/b", L"https://secure.example"},
        {L"HTTPS://Secure.example", L"HTTPS://Secure.example", L"HTTPS://Secure.example"},
        {L"ftp://files.example/a", L"ftp://files.example/a", L"ftp://files.example"},
        {L"HTTP://HOST.example/", L"HTTP://HOST.example/", L"HTTP://HOST.example"},
        // Contains "//" and is shorter than the scheme: probed whole.
        {L"a//b", L"a//b", L"a//b"},
        {L"", L"http://", L"http://"},
    };
    for (const auto& c : cases) {
        const MStringEx<wchar_t> requested = RequestAddress(c.address);
        EXPECT_EQ(std::wstring(c.requested), requested.Data()) << c.address;
        EXPECT_EQ(std::wstring(c.probed), ProbeAddress(requested).Data()) << c.address;
    }
}

TEST(TransferRulesTest, OnlyA2xxStatusAndAPlainDecimalLengthAreAccepted)
{
    for (DWORD status : {0u, 100u, 199u, 300u, 304u, 308u, 404u, 500u}) {
        EXPECT_FALSE(IsSuccessStatus(status)) << status;
    }
    for (DWORD status : {200u, 204u, 206u, 299u}) {
        EXPECT_TRUE(IsSuccessStatus(status)) << status;
    }

    const struct {
        const wchar_t* text;
        bool valid;
        std::uint64_t total;
    } lengths[] = {
        {L"12345", true, 12345},
        {L"0", true, 0},
        {L"18446744073709551615", true, 18446744073709551615ull},
        {L"18446744073709551616", false, 0},
        {L"", false, 0},
        {L"crap", false, 0},
        {L"-6", false, 0},
        {L"12 ", false, 0},
        {L"0x10", false, 0},
    };
    for (const auto& c : lengths) {
        std::uint64_t total = 99;
        MStringEx<wchar_t> text(c.text);
        text.SetRadix(16);
        EXPECT_EQ(c.valid, ParseContentLength(text, total)) << c.text;
        EXPECT_EQ(c.total, total) << c.text;
    }
}

TEST_F(TransferTest, RequestCarriesTheHeadersAgentAndNoCacheAndNoCookies)
{
    server.Enqueue(Response::Ok().Header("Set-Cookie", "session=abc; path=/").Body("first"));
    server.Enqueue(Response::Ok().Body("second"));

    ASSERT_TRUE(Download(L"http://127.0.0.6/kdm/package.msi")) << server.Describe();
    EXPECT_EQ("first", FileContent());
    ASSERT_TRUE(EmptyFile());
    // Without "//" the address gets "http://"; the same address again reaches the server.
    ASSERT_TRUE(Download(L"127.0.0.6/kdm/package.msi")) << server.Describe();
    EXPECT_EQ("second", FileContent());

    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(2u, requests.size()) << server.Describe();
    for (const RecordedRequest& request : requests) {
        EXPECT_EQ("GET", request.method);
        EXPECT_EQ("/kdm/package.msi", request.target);
        const struct {
            const char* name;
            const char* value;
        } expected[] = {
            {"NORVALIS_PRODUCT", "Kestrune"},   {"NORVALIS_PRODUCT_VERSION", "3"},
            {"ZELQ_OS_VERSION", "7"},           {"ZELQ_CPU_TYPE", "32"},
            {"User-Agent", "Download Manager"},
        };
        for (const auto& header : expected) {
            const kdm_test::RecordedHeader* found = request.Find(header.name);
            ASSERT_NE(nullptr, found) << header.name << "\n" << request.raw;
            EXPECT_EQ(header.name, found->name) << "the name's spelling";
            EXPECT_EQ(header.value, found->value) << header.name;
        }
        EXPECT_EQ(nullptr, request.Find("Cookie")) << request.raw;
        const std::vector<std::string> pragma = request.Values("Pragma");
        EXPECT_NE(pragma.end(), std::find(pragma.begin(), pragma.end(), "no-cache")) << request.raw;
    }
}

TEST_F(TransferTest, TotalComesFromContentLengthInEveryMessage)
{
    const struct {
        const char* name;
        Response response;
        std::uint64_t total;
    } cases[] = {
        {"length 12345", Response::Ok().GeneratedBody(12345).Pieces(4000, 20), 12345},
        {"no length", Response::Ok().GeneratedBody(12345).Pieces(4000, 20).WithoutLength(), 0},
        {"malformed length", Response::Ok().GeneratedBody(12345).ForcedLength("crap"), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.Enqueue(c.response);
        HeaderDictionary headers;
        const std::size_t before = progress.Messages().size();
        EXPECT_TRUE(Download(kServerUrl, headers)) << server.Describe();
        const std::vector<Progress>& messages = progress.Messages();
        ASSERT_GE(messages.size(), before + 2);
        std::uint64_t previous = 0;
        for (std::size_t i = before; i < messages.size(); ++i) {
            EXPECT_EQ(c.total, messages[i].total) << "message " << i;
            EXPECT_GE(messages[i].done, previous) << "message " << i;
            previous = messages[i].done;
        }
        // The final empty read repeats the final count.
        EXPECT_EQ(12345u, messages.back().done);
        EXPECT_EQ(messages.back().done, messages[messages.size() - 2].done);
        EXPECT_EQ(std::string::npos, FirstPatternMismatch(FileContent()));
        ASSERT_TRUE(EmptyFile());
    }
}

TEST_F(TransferTest, EmptyBodyGivesOneMessageAndSucceeds)
{
    server.Enqueue(Response::Ok().Body(""));
    EXPECT_TRUE(Download()) << server.Describe();
    ASSERT_EQ(1u, progress.Messages().size());
    EXPECT_EQ(0u, progress.Messages()[0].total);
    EXPECT_EQ(0u, progress.Messages()[0].done);
    EXPECT_EQ("", FileContent());
}

TEST_F(TransferTest, WantedHeadersReplaceTheDictionary)
{
    const std::string hash40 = kdm_test::Sha1HexUpper("package");
    const std::string longValue(3000, 'F');
    const struct {
        const char* name;
        const char* value;     // null: the header is absent
        std::size_t byteCount; // the value's byte count in the dictionary
    } cases[] = {
        {"absent", nullptr, 0},
        // Fits the name's buffer: cut to the returned length, without a terminator.
        {"short", "AB12", 8},
        // Longer than the name: the second query's buffer keeps the terminator.
        {"hash code", hash40.c_str(), 82},
        {"long value", longValue.c_str(), 6002},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Response response = Response::Ok().Body("package");
        if (c.value != nullptr) {
            response.Header("NORVALIS-DOWNLOAD-HASHCODE", c.value);
        }
        server.Enqueue(response);
        HeaderDictionary headers{new HeaderDictionary::PairType(kHashCodeHeaderName),
                                 new HeaderDictionary::PairType(L"X-Kdm-Absent")};
        EXPECT_TRUE(Download(kServerUrl, headers)) << server.Describe();
        if (c.value == nullptr) {
            EXPECT_EQ(0u, headers.Count());
            continue;
        }
        ASSERT_EQ(1u, headers.Count());
        const HeaderDictionary::PairType* pair = headers.GetAt(0);
        EXPECT_EQ(std::wstring(kHashCodeHeaderName), pair->key.Data());
        EXPECT_EQ(c.byteCount, pair->value.Count());
        const std::wstring text(reinterpret_cast<const wchar_t*>(pair->value.Data()),
                                pair->value.Count() / 2);
        EXPECT_EQ(kdm_test::FromUtf8(c.value), text.substr(0, text.find(L'\0')));
    }
}

TEST_F(TransferTest, CancelDuringTheBodyStopsBeforeTheNextBlock)
{
    server.Enqueue(Response::Ok().GeneratedBody(200000).Pieces(8192, 30));
    progress.OnMessage([this](const Progress&) { SetEvent(cancel.Get()); });

    EXPECT_FALSE(Download()) << server.Describe();
    ASSERT_EQ(1u, progress.Messages().size());
    const Progress& only = progress.Messages()[0];
    EXPECT_EQ(200000u, only.total);
    EXPECT_GT(only.done, 0u);
    const std::string content = FileContent();
    EXPECT_EQ(only.done, content.size());
    EXPECT_EQ(std::string::npos, FirstPatternMismatch(content));
}

TEST_F(TransferTest, CancelSetBeforehandWritesNothing)
{
    server.Enqueue(Response::Ok().Body("package"));
    SetEvent(cancel.Get());
    EXPECT_FALSE(Download());
    EXPECT_TRUE(progress.Messages().empty());
    EXPECT_EQ("", FileContent());
}

TEST_F(TransferTest, SlowServerKeepsTheProgressGoing)
{
    server.Enqueue(Response::Ok().GeneratedBody(6000).Pieces(1000, 150));
    EXPECT_TRUE(Download()) << server.Describe();
    const std::vector<Progress>& messages = progress.Messages();
    ASSERT_GE(messages.size(), 4u);
    for (std::size_t i = 1; i + 1 < messages.size(); ++i) {
        EXPECT_GT(messages[i].done, messages[i - 1].done) << "message " << i;
    }
    EXPECT_EQ(6000u, messages.back().done);
    EXPECT_EQ(std::string::npos, FirstPatternMismatch(FileContent()));
    EXPECT_EQ(6000u, FileContent().size());
}

} // namespace
} // namespace kdm_net_test
