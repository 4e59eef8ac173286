// Checks the test server against the two clients the product and the tests use: WinINet (as the
// program downloads) and a plain Winsock client (to see the exact bytes on the wire).

#include "tests/support/TestServer.h"

#include <wininet.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TextUtil.h"

namespace kdm_test {
namespace {

// Loopback addresses of their own, so that these tests never compete for port 80.
const char kAddress[] = "127.0.0.5";
const unsigned short kPort = 8080;

const char kProductHeaders[] = "NORVALIS_PRODUCT: Kestrune\r\n"
                               "NORVALIS_PRODUCT_VERSION: 2\r\n"
                               "ZELQ_OS_VERSION: 7\r\n"
                               "ZELQ_CPU_TYPE: 32\r\n";

struct Download {
    bool opened = false;
    DWORD openError = 0;
    DWORD status = 0;
    std::string body;
    bool readFailed = false;
    DWORD readError = 0;
    HINTERNET request = nullptr;
};

// Downloads `url` the way the program does: InternetOpenUrlW with the headers, then
// InternetQueryDataAvailable and InternetReadFile until 0 bytes or a failure.
class WinInetClient {
public:
    WinInetClient()
        : session(InternetOpenW(L"Kestrune", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0))
    {
    }

    Download Get(const std::string& url, const std::string& headers = kProductHeaders)
    {
        Download result;
        const std::wstring wideHeaders = FromUtf8(headers);
        request.reset(new InternetHandleGuard(
            InternetOpenUrlW(session.Get(), FromUtf8(url).c_str(), wideHeaders.c_str(),
                             static_cast<DWORD>(wideHeaders.size()),
                             INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                 INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES,
                             0)));
        if (request->Get() == nullptr) {
            result.openError = GetLastError();
            return result;
        }
        result.opened = true;
        result.request = request->Get();
        DWORD status = 0;
        DWORD size = sizeof(status);
        HttpQueryInfoW(request->Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &size, nullptr);
        result.status = status;
        for (;;) {
            DWORD available = 0;
            if (!InternetQueryDataAvailable(request->Get(), &available, 0, 0)) {
                result.readFailed = true;
                result.readError = GetLastError();
                break;
            }
            if (available == 0) {
                break;
            }
            std::string block(available, '\0');
            DWORD read = 0;
            if (!InternetReadFile(request->Get(), &block[0], available, &read)) {
                result.readFailed = true;
                result.readError = GetLastError();
                break;
            }
            if (read == 0) {
                break;
            }
            result.body.append(block, 0, read);
        }
        return result;
    }

    // Value of a response header of the last request (index for duplicates); "<absent>" when
    // WinINet does not have it.
    std::string Header(const std::string& name, DWORD index = 0) const
    {
        std::vector<wchar_t> buffer(8192, L'\0');
        const std::wstring wideName = FromUtf8(name);
        std::copy(wideName.begin(), wideName.end(), buffer.begin());
        DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        if (!HttpQueryInfoW(request->Get(), HTTP_QUERY_CUSTOM, buffer.data(), &size, &index)) {
            return "<absent>";
        }
        return ToUtf8(std::wstring(buffer.data(), size / sizeof(wchar_t)));
    }

private:
    InternetHandleGuard session;
    std::unique_ptr<InternetHandleGuard> request;
};

struct RawExchange {
    bool connected = false;
    std::string received;
    bool reset = false;  // the connection ended with WSAECONNRESET
    bool closed = false; // the connection ended with a clean close
};

// Sends `request` and reads until the server closes, resets, or `timeoutMs` passes.
RawExchange RawGet(const std::string& request, DWORD timeoutMs = 5000)
{
    RawExchange result;
    SocketHolder client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(kPort);
    server.sin_addr.s_addr = htonl(0x7F000005);
    if (connect(client.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0) {
        return result;
    }
    result.connected = true;
    send(client.Get(), request.data(), static_cast<int>(request.size()), 0);
    DWORD timeout = timeoutMs;
    setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    char buffer[65536];
    for (;;) {
        const int received = recv(client.Get(), buffer, sizeof(buffer), 0);
        if (received > 0) {
            result.received.append(buffer, static_cast<std::size_t>(received));
            continue;
        }
        result.closed = received == 0;
        result.reset = received == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET;
        break;
    }
    return result;
}

const char kRawRequest[] = "GET /raw HTTP/1.1\r\nHost: 127.0.0.5:8080\r\n\r\n";

class TestServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start(kAddress, kPort)) << server.LastError(); }

    std::string Url(const std::string& path = "/") const { return server.BaseUrl() + path; }

    const WinsockStart winsock{StartWinsock22()};
    TestServer server;
};

TEST_F(TestServerTest, RecordsTheRequestLineAndEveryHeaderLineAsSent)
{
    server.Enqueue(Response::Ok().Body("x"));
    WinInetClient client;
    const Download download = client.Get(Url("/catalog?id=7"));
    ASSERT_TRUE(download.opened) << Win32ErrorText(download.openError);
    ASSERT_TRUE(server.WaitForRequests(1, 2000)) << server.Describe();

    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    const RecordedRequest& request = requests[0];
    EXPECT_EQ("GET /catalog?id=7 HTTP/1.1", request.requestLine);
    EXPECT_EQ("GET", request.method);
    EXPECT_EQ("/catalog?id=7", request.target);
    EXPECT_EQ("HTTP/1.1", request.version);
    EXPECT_EQ(0u, request.raw.find("GET /catalog?id=7 HTTP/1.1\r\n"));
    EXPECT_EQ(request.raw.size() - 4, request.raw.find("\r\n\r\n"));

    // The four product headers arrive with their underscores, exactly as given, in order.
    const char* const names[] = {"NORVALIS_PRODUCT", "NORVALIS_PRODUCT_VERSION", "ZELQ_OS_VERSION",
                                 "ZELQ_CPU_TYPE"};
    const char* const lines[] = {"NORVALIS_PRODUCT: Kestrune", "NORVALIS_PRODUCT_VERSION: 2",
                                 "ZELQ_OS_VERSION: 7", "ZELQ_CPU_TYPE: 32"};
    std::size_t previous = 0;
    for (int i = 0; i < 4; ++i) {
        const RecordedHeader* header = request.Find(names[i]);
        ASSERT_NE(nullptr, header) << names[i] << "\n" << server.Describe();
        EXPECT_EQ(lines[i], header->line);
        EXPECT_EQ(names[i], header->name);
        const std::size_t position = static_cast<std::size_t>(header - request.headers.data());
        EXPECT_LT(previous, position + 1) << names[i] << " out of order";
        previous = position + 1;
    }
    EXPECT_EQ(nullptr, request.Find("NORVALIS-PRODUCT"));
    ASSERT_NE(nullptr, request.Find("user-agent"));
    EXPECT_EQ("Kestrune", request.Find("User-Agent")->value);
    EXPECT_EQ(std::vector<std::string>{"127.0.0.5:8080"}, request.Values("Host"));
}

TEST_F(TestServerTest, ServesStatusReasonAndHeadersInOrderWithDuplicatesAndEmptyValues)
{
    const std::string longValue(5000, 'v');
    const Response response = Response::Status(404, "Gone Fishing")
                                  .Header("X-Twice", "one")
                                  .Header("X-Twice", "two")
                                  .Header("X-Empty", "")
                                  .Header("X-Long", longValue)
                                  .Body("page");
    server.Enqueue(response);
    const RawExchange raw = RawGet(kRawRequest);
    EXPECT_TRUE(raw.closed);
    EXPECT_EQ("HTTP/1.1 404 Gone Fishing\r\n"
              "Content-Length: 4\r\n"
              "X-Twice: one\r\n"
              "X-Twice: two\r\n"
              "X-Empty: \r\n"
              "X-Long: " +
                  longValue +
                  "\r\n"
                  "Connection: close\r\n"
                  "\r\n"
                  "page",
              raw.received);

    server.Enqueue(
        Response::Ok()
            .Header("NORVALIS-DOWNLOAD-HASHCODE", "A9993E364706816ABA3E25717850C26C9CD0D89D")
            .Header("X-Twice", "one")
            .Header("X-Twice", "two")
            .Header("X-Empty", "")
            .Body("abc"));
    WinInetClient client;
    const Download download = client.Get(Url());
    ASSERT_TRUE(download.opened) << Win32ErrorText(download.openError);
    EXPECT_EQ(200u, download.status);
    EXPECT_EQ("abc", download.body);
    EXPECT_EQ("A9993E364706816ABA3E25717850C26C9CD0D89D",
              client.Header("NORVALIS-DOWNLOAD-HASHCODE"));
    EXPECT_EQ("one", client.Header("X-Twice", 0));
    EXPECT_EQ("two", client.Header("X-Twice", 1));
    EXPECT_EQ("", client.Header("X-Empty"));

    server.Enqueue(Response::Ok().StatusLine("HTTP/1.0 201 Made Up").Body("z"));
    EXPECT_EQ(0u,
              RawGet(kRawRequest).received.find("HTTP/1.0 201 Made Up\r\nContent-Length: 1\r\n"));
}

TEST_F(TestServerTest, GeneratedBodyArrivesWholeInPiecesAndMatchesThePatternAndItsDigest)
{
    const std::uint64_t size = 200000;
    server.Enqueue(Response::Ok().GeneratedBody(size).Pieces(8192, 1));
    WinInetClient client;
    const Download download = client.Get(Url());
    ASSERT_TRUE(download.opened) << Win32ErrorText(download.openError);
    EXPECT_FALSE(download.readFailed) << Win32ErrorText(download.readError);
    EXPECT_EQ("200000", client.Header("Content-Length"));
    ASSERT_EQ(size, download.body.size());
    EXPECT_EQ(std::string::npos, FirstPatternMismatch(download.body));
    EXPECT_EQ(PatternSha1HexUpper(size), Sha1HexUpper(download.body));
    ASSERT_TRUE(server.WaitForFinished(1, 2000)) << server.Describe();
    EXPECT_EQ(size, server.Exchanges()[0].bodyBytesSent);
}

TEST_F(TestServerTest, FramesTheBodyWithoutLengthWithAForcedLengthOrChunked)
{
    struct Case {
        const char* name;
        Response response;
        const char* lengthHeader; // as WinINet reports it
        const char* framingOnTheWire;
    };
    const Case cases[] = {
        {"no length", Response::Ok().GeneratedBody(30000).WithoutLength(), "<absent>",
         "HTTP/1.1 200 OK\r\nConnection"},
        {"forced length", Response::Ok().GeneratedBody(30000).ForcedLength("crap"), "crap",
         "HTTP/1.1 200 OK\r\nContent-Length: crap\r\n"},
        {"chunked", Response::Ok().GeneratedBody(30000).Chunked().Pieces(10000, 0), "<absent>",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n2710\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Enqueue(c.response);
        WinInetClient client;
        const Download download = client.Get(Url());
        ASSERT_TRUE(download.opened) << Win32ErrorText(download.openError);
        EXPECT_FALSE(download.readFailed) << Win32ErrorText(download.readError);
        EXPECT_EQ(c.lengthHeader, client.Header("Content-Length"));
        EXPECT_EQ(30000u, download.body.size());
        EXPECT_EQ(std::string::npos, FirstPatternMismatch(download.body));

        server.Enqueue(c.response);
        const RawExchange raw = RawGet(kRawRequest);
        EXPECT_TRUE(raw.closed);
        EXPECT_EQ(0u, raw.received.find(c.framingOnTheWire)) << raw.received.substr(0, 120);
    }
    server.Enqueue(Response::Ok().Body("abc").Chunked().Pieces(2, 0));
    const std::string small = RawGet(kRawRequest).received;
    EXPECT_NE(std::string::npos, small.find("\r\n\r\n2\r\nab\r\n1\r\nc\r\n0\r\n\r\n")) << small;
}

TEST_F(TestServerTest, CloseAfterBytesReadsAsACleanEndAndResetAfterBytesAsAFailure)
{
    server.Enqueue(Response::Ok().GeneratedBody(100000).CloseAfter(30000).Pieces(10000, 0));
    WinInetClient client;
    const Download closed = client.Get(Url());
    ASSERT_TRUE(closed.opened) << Win32ErrorText(closed.openError);
    EXPECT_EQ("100000", client.Header("Content-Length"));
    EXPECT_FALSE(closed.readFailed) << Win32ErrorText(closed.readError);
    EXPECT_EQ(30000u, closed.body.size());
    EXPECT_EQ(std::string::npos, FirstPatternMismatch(closed.body));

    server.Enqueue(Response::Ok().GeneratedBody(100000).ResetAfter(30000).Pieces(10000, 20));
    const Download reset = client.Get(Url());
    ASSERT_TRUE(reset.opened) << Win32ErrorText(reset.openError);
    EXPECT_TRUE(reset.readFailed);
    EXPECT_GE(30000u, reset.body.size());
    EXPECT_EQ(std::string::npos, FirstPatternMismatch(reset.body));

    server.Enqueue(Response::Ok().GeneratedBody(100000).ResetAfter(5).Pieces(5, 0));
    const RawExchange raw = RawGet(kRawRequest);
    EXPECT_TRUE(raw.reset);
    ASSERT_TRUE(server.WaitForFinished(3, 2000)) << server.Describe();
    EXPECT_EQ(5u, server.Exchanges()[2].bodyBytesSent);
}

TEST_F(TestServerTest,
       NoReplyClosesAfterRecordingTheRequestAndTheFallbackAnswersAnUnscriptedRequest)
{
    server.Enqueue(Response::NoReply());
    const RawExchange empty = RawGet(kRawRequest);
    EXPECT_TRUE(empty.closed);
    EXPECT_EQ("", empty.received);
    ASSERT_TRUE(server.WaitForRequests(1, 1000));
    EXPECT_EQ("/raw", server.Requests()[0].target);

    EXPECT_EQ(0u, RawGet(kRawRequest).received.find("HTTP/1.1 404 Not Found\r\n"));
    server.SetFallback(Response::Status(503, "Busy"));
    EXPECT_EQ(0u, RawGet(kRawRequest).received.find("HTTP/1.1 503 Busy\r\n"));
    const std::vector<ServedExchange> exchanges = server.Exchanges();
    ASSERT_EQ(3u, exchanges.size());
    EXPECT_EQ(0, exchanges[0].scriptIndex);
    EXPECT_EQ(-1, exchanges[1].scriptIndex);
}

TEST_F(TestServerTest, HeaderDelayHoldsTheReply)
{
    server.Enqueue(Response::Ok().Body("late").HeaderDelay(300));
    const DWORD start = GetTickCount();
    const RawExchange raw = RawGet(kRawRequest);
    EXPECT_LE(280u, GetTickCount() - start);
    EXPECT_NE(std::string::npos, raw.received.find("late"));
}

TEST_F(TestServerTest, StopEndsAStalledConnectionQuickly)
{
    server.Enqueue(Response::StallForever());
    SocketHolder client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(0x7F000005);
    ASSERT_EQ(0,
              connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
    send(client.Get(), kRawRequest, static_cast<int>(sizeof(kRawRequest) - 1), 0);
    ASSERT_TRUE(server.WaitForRequests(1, 2000));

    DWORD timeout = 300;
    setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    char byte = 0;
    EXPECT_EQ(SOCKET_ERROR, recv(client.Get(), &byte, 1, 0))
        << "a stalled connection sent something";

    const DWORD start = GetTickCount();
    server.Stop();
    EXPECT_GT(1000u, GetTickCount() - start);
    EXPECT_FALSE(server.Running());
    timeout = 2000;
    setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    EXPECT_GE(0, recv(client.Get(), &byte, 1, 0));
    EXPECT_NE(WSAETIMEDOUT, WSAGetLastError());
}

TEST_F(TestServerTest, RefusesABusyAddressAndNonLoopbackAddressesAndRestartsOnTheSameAddress)
{
    TestServer second;
    EXPECT_FALSE(second.Start(kAddress, kPort));
    EXPECT_NE(std::string::npos, second.LastError().find("bind to 127.0.0.5:8080 failed"))
        << second.LastError();
    EXPECT_FALSE(second.Start("10.0.0.1", kPort));
    EXPECT_FALSE(second.Start("127.0.0", kPort));
    ASSERT_TRUE(second.Start("127.0.0.6", kPort)) << second.LastError();

    server.Enqueue(Response::Ok().Body("first"));
    EXPECT_NE(std::string::npos, RawGet(kRawRequest).received.find("first"));
    server.Stop();
    ASSERT_TRUE(server.Start(kAddress, kPort)) << server.LastError();
    server.Enqueue(Response::Ok().Body("second"));
    EXPECT_NE(std::string::npos, RawGet(kRawRequest).received.find("second"));
}

TEST(BodyPatternTest, IsStableAndDetectsShiftedData)
{
    EXPECT_EQ("A9993E364706816ABA3E25717850C26C9CD0D89D", Sha1HexUpper("abc"));
    EXPECT_EQ("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", PatternSha1HexUpper(0));
    const std::string whole = PatternBytes(0, 70000);
    EXPECT_EQ(whole.substr(65536, 100), PatternBytes(65536, 100));
    EXPECT_EQ(Sha1HexUpper(whole), PatternSha1HexUpper(70000));
    for (std::uint64_t shift : {1u, 256u, 4096u, 65536u}) {
        EXPECT_NE(std::string::npos,
                  FirstPatternMismatch(whole.substr(static_cast<std::size_t>(shift), 1000)))
            << "shift " << shift;
    }
    std::string damaged = whole;
    damaged[12345] = static_cast<char>(damaged[12345] ^ 1);
    EXPECT_EQ(12345u, FirstPatternMismatch(damaged));
}

} // namespace
} // namespace kdm_test
