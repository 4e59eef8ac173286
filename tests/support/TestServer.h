// A scriptable HTTP server on a loopback address, running inside the test process.
//
// Each accepted connection reads one request, records it, takes the next scripted response
// (or the fallback when the script is used up) and acts it out, then closes. Every response
// closes its connection, so a client never reuses one. The script and the records persist
// across Stop and Start.
//
// The program's own download address is port 80 of a loopback address: a test program whose
// server binds port 80 must be registered with a ctest RESOURCE_LOCK so that such programs run
// one at a time. Other tests can use any other 127.x.y.z address and port side by side.
//
//     TestServer server;
//     server.Enqueue(Response::Ok().Header("NORVALIS-DOWNLOAD-HASHCODE",
//     PatternSha1HexUpper(50000))
//                        .GeneratedBody(50000).Pieces(8192, 5));
//     ASSERT_TRUE(server.Start("127.0.0.1", 80)) << server.LastError();
//     ... run the program ...
//     ASSERT_TRUE(server.WaitForRequests(1, 10000)) << server.Describe();
//     EXPECT_EQ("NORVALIS_PRODUCT: Kestrune", server.Requests()[0].Find("NORVALIS_PRODUCT")->line);
#ifndef KDM_TESTS_SUPPORT_TESTSERVER_H
#define KDM_TESTS_SUPPORT_TESTSERVER_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Win32Holders.h"

namespace kdm_test {

namespace detail {
struct ServerState;
}

struct HeaderField {
    std::string name;
    std::string value;
};

// What the server does with a connection after reading the request.
enum class ResponseAction {
    Reply,             // send the response as scripted
    CloseWithoutReply, // close at once: the client gets an empty reply
    Stall,             // send nothing and keep the connection open until Stop
};

// How the response frames its body.
enum class BodyFraming {
    ContentLength, // "Content-Length: <body size>"
    NoLength,      // no Content-Length: the body ends when the connection closes
    ForcedLength,  // "Content-Length: <forcedLength>", whatever the body size
    Chunked,       // "Transfer-Encoding: chunked", one chunk per body piece
};

// One scripted response. Fields may be set directly or through the chaining helpers.
struct Response {
    ResponseAction action = ResponseAction::Reply;

    int status = 200;
    std::string reason = "OK";
    // When set, this line (without CRLF) replaces "HTTP/1.1 <status> <reason>".
    bool useStatusLine = false;
    std::string statusLine;
    // When set, these bytes replace the whole head (status line, headers and the blank line);
    // an empty raw head sends the body alone, with no status line.
    bool useRawHead = false;
    std::string rawHead;

    // Sent in this order after the framing header, duplicates and empty values as given.
    std::vector<HeaderField> headers;
    // Adds "Connection: close" after the scripted headers.
    bool connectionClose = true;

    // The body is `body` unless generatedSize is set, then PatternBytes(patternOffset,
    // generatedSize): a part of a larger pattern file, as a range answer sends it.
    std::string body;
    bool generated = false;
    std::uint64_t generatedSize = 0;
    std::uint64_t patternOffset = 0;
    // When set, a "Location" header sends the client to a new path of this server on every
    // request: "/hop<number of the exchange>".
    bool redirectToNewPath = false;

    BodyFraming framing = BodyFraming::ContentLength;
    std::string forcedLength;

    DWORD headerDelayMs = 0;       // before the first byte of the head
    std::size_t pieceSize = 65536; // body bytes per send (and per chunk when chunked)
    DWORD pieceDelayMs = 0;        // between two pieces
    // Stop after this many body bytes: close cleanly, or reset (RST) when resetAtCut is set, or
    // send nothing more and keep the connection open until Stop when stallAtCut is set.
    bool cut = false;
    std::uint64_t cutAfter = 0;
    bool resetAtCut = false;
    bool stallAtCut = false;
    // Pause between the last body byte and the reset. A Wine client that still holds unread bytes
    // when the reset arrives reports a clean end of data instead of an error; the pause lets it
    // read them and wait, so that the reset is reported.
    DWORD resetPauseMs = 200;

    static Response Status(int status, const std::string& reason);
    static Response Ok() { return Status(200, "OK"); }
    static Response NoReply();
    static Response StallForever();

    Response& Header(const std::string& name, const std::string& value);
    Response& StatusLine(const std::string& line);
    Response& RawHead(const std::string& head);
    Response& Body(const std::string& bytes);
    Response& GeneratedBody(std::uint64_t size);
    // The pattern file's bytes from `offset` on, `size` of them.
    Response& GeneratedPart(std::uint64_t offset, std::uint64_t size);
    // Status 302 with a Location of a new path of this server, on every request answered so.
    static Response RedirectToNewPath();
    Response& WithoutLength();
    Response& ForcedLength(const std::string& value);
    Response& Chunked();
    Response& HeaderDelay(DWORD ms);
    Response& Pieces(std::size_t size, DWORD delayMs);
    Response& CloseAfter(std::uint64_t bodyBytes);
    Response& ResetAfter(std::uint64_t bodyBytes);
    Response& StallAfter(std::uint64_t bodyBytes);
    Response& KeepConnectionHeaderOut();

    std::uint64_t BodySize() const;
};

struct RecordedHeader {
    std::string line;  // the header line exactly as received, without CRLF
    std::string name;  // the bytes before the first ':'
    std::string value; // the bytes after the ':', leading spaces and tabs removed
};

struct RecordedRequest {
    std::string raw; // every byte received up to and including the blank line
    std::string requestLine;
    std::string method;
    std::string target;
    std::string version;
    std::vector<RecordedHeader> headers; // in the order received

    // First header whose name equals `name` ignoring ASCII case; null when none.
    const RecordedHeader* Find(const std::string& name) const;
    // Values of all headers with that name, in order.
    std::vector<std::string> Values(const std::string& name) const;
    // The header names in the order received.
    std::vector<std::string> Names() const;
};

// A request whose head could not be read completely is recorded too, with `complete` false.
struct ServedExchange {
    RecordedRequest request;
    bool complete = false;
    int scriptIndex = -1; // index of the scripted response used, -1 for the fallback or none
    std::uint64_t bodyBytesSent = 0;
    bool finished = false; // the response was acted out to its end
};

class TestServer {
public:
    TestServer();
    // Stops the server.
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Responses are taken in order, one per request. When the script is used up the fallback
    // answers (by default 404 with a short text body).
    void Enqueue(const Response& response);
    void SetFallback(const Response& response);

    // Binds to address:port (address is a dotted IPv4 loopback address such as "127.0.0.1") and
    // starts the server thread. False with LastError() set when Winsock, bind or listen fails or
    // the address is not a loopback address.
    bool Start(const std::string& address, unsigned short port);
    // Closes the listening socket and every open connection (stalled ones included) and joins
    // all threads. Quick (well under a second) and safe to call twice.
    void Stop();
    bool Running() const;
    const std::string& LastError() const { return lastError; }
    // "http://127.0.0.1" (port 80 omitted) or "http://127.0.0.5:8080".
    std::string BaseUrl() const;

    // Waits until `count` requests (complete heads) were recorded. False on time-out.
    bool WaitForRequests(std::size_t count, DWORD timeoutMs) const;
    // Waits until `count` responses were acted out to their end (or cut as scripted).
    bool WaitForFinished(std::size_t count, DWORD timeoutMs) const;
    std::vector<RecordedRequest> Requests() const;
    std::vector<ServedExchange> Exchanges() const;
    std::size_t ConnectionsAccepted() const;

    // Text of everything recorded, for failure messages.
    std::string Describe() const;

private:
    std::unique_ptr<detail::ServerState> shared;
    HandleHolder acceptThread;
    std::string lastError;
    std::string address;
    unsigned short port = 0;
    WinsockStart winsock;
};

} // namespace kdm_test

#endif
