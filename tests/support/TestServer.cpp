#include "tests/support/TestServer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "tests/support/TextUtil.h"
#include "tests/support/WaitUntil.h"

namespace kdm_test {

namespace {

// Every wait of a server thread is cut into slices of this length so that Stop is seen quickly.
const DWORD kPollSliceMs = 50;
// A client that does not finish its request head in this time is given up.
const DWORD kRequestHeadTimeoutMs = 10000;
const std::size_t kMaxRequestHead = 1 << 20;
// After a graceful close the server reads until the client closes too, at most this long, so that
// the close is an orderly FIN and not a reset caused by unread bytes.
const DWORD kDrainAfterCloseMs = 1000;

bool EqualsIgnoringCase(const std::string& left, const std::string& right)
{
    if (left.size() != right.size()) {
        return false;
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
        char a = left[i];
        char b = right[i];
        if (a >= 'A' && a <= 'Z') {
            a = static_cast<char>(a - 'A' + 'a');
        }
        if (b >= 'A' && b <= 'Z') {
            b = static_cast<char>(b - 'A' + 'a');
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

// Parses a dotted IPv4 address; false unless it has exactly four parts of 0 to 255.
bool ParseIpv4(const std::string& text, unsigned char (&parts)[4])
{
    std::size_t position = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (position >= text.size() || text[position] != '.') {
                return false;
            }
            ++position;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9' &&
               digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[position] - '0');
            ++position;
            ++digits;
        }
        if (digits == 0 || value > 255) {
            return false;
        }
        parts[part] = static_cast<unsigned char>(value);
    }
    return position == text.size();
}

RecordedRequest ParseRequestHead(const std::string& raw)
{
    RecordedRequest request;
    request.raw = raw;
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find('\n', start);
        if (end == std::string::npos) {
            end = raw.size();
        }
        std::string line = raw.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() && !lines.empty()) {
            break;
        }
        lines.push_back(line);
        start = end + 1;
    }
    if (lines.empty()) {
        return request;
    }
    request.requestLine = lines[0];
    const std::size_t firstSpace = lines[0].find(' ');
    const std::size_t lastSpace = lines[0].rfind(' ');
    if (firstSpace != std::string::npos && lastSpace > firstSpace) {
        request.method = lines[0].substr(0, firstSpace);
        request.target = lines[0].substr(firstSpace + 1, lastSpace - firstSpace - 1);
        request.version = lines[0].substr(lastSpace + 1);
    } else {
        request.method = lines[0];
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        RecordedHeader header;
        header.line = lines[i];
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos) {
            header.name = lines[i];
        } else {
            header.name = lines[i].substr(0, colon);
            std::size_t valueStart = colon + 1;
            while (valueStart < lines[i].size() &&
                   (lines[i][valueStart] == ' ' || lines[i][valueStart] == '\t')) {
                ++valueStart;
            }
            header.value = lines[i].substr(valueStart);
        }
        request.headers.push_back(header);
    }
    return request;
}

std::string BodyPiece(const Response& response, std::uint64_t offset, std::size_t count)
{
    if (response.generated) {
        return PatternBytes(response.patternOffset + offset, count);
    }
    return response.body.substr(static_cast<std::size_t>(offset), count);
}

std::string BuildHead(const Response& response)
{
    if (response.useRawHead) {
        return response.rawHead;
    }
    std::string head;
    if (response.useStatusLine) {
        head = response.statusLine + "\r\n";
    } else {
        head = "HTTP/1.1 " + std::to_string(response.status) + " " + response.reason + "\r\n";
    }
    switch (response.framing) {
    case BodyFraming::ContentLength:
        head += "Content-Length: " + std::to_string(response.BodySize()) + "\r\n";
        break;
    case BodyFraming::ForcedLength:
        head += "Content-Length: " + response.forcedLength + "\r\n";
        break;
    case BodyFraming::Chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    case BodyFraming::NoLength:
        break;
    }
    for (const HeaderField& header : response.headers) {
        head += header.name + ": " + header.value + "\r\n";
    }
    if (response.connectionClose) {
        head += "Connection: close\r\n";
    }
    head += "\r\n";
    return head;
}

std::string ChunkSizeLine(std::size_t size)
{
    char text[32] = {};
    std::snprintf(text, sizeof(text), "%lx\r\n", static_cast<unsigned long>(size));
    return text;
}

} // namespace

Response Response::Status(int status, const std::string& reason)
{
    Response response;
    response.status = status;
    response.reason = reason;
    return response;
}

Response Response::NoReply()
{
    Response response;
    response.action = ResponseAction::CloseWithoutReply;
    return response;
}

Response Response::StallForever()
{
    Response response;
    response.action = ResponseAction::Stall;
    return response;
}

Response& Response::Header(const std::string& name, const std::string& value)
{
    headers.push_back(HeaderField{name, value});
    return *this;
}

Response& Response::StatusLine(const std::string& line)
{
    useStatusLine = true;
    statusLine = line;
    return *this;
}

Response& Response::RawHead(const std::string& head)
{
    useRawHead = true;
    rawHead = head;
    return *this;
}

Response& Response::Body(const std::string& bytes)
{
    generated = false;
    body = bytes;
    return *this;
}

Response& Response::GeneratedBody(std::uint64_t size)
{
    generated = true;
    generatedSize = size;
    body.clear();
    return *this;
}

Response& Response::GeneratedPart(std::uint64_t offset, std::uint64_t size)
{
    GeneratedBody(size);
    patternOffset = offset;
    return *this;
}

Response Response::RedirectToNewPath()
{
    Response response = Status(302, "Found");
    response.redirectToNewPath = true;
    return response;
}

Response& Response::WithoutLength()
{
    framing = BodyFraming::NoLength;
    return *this;
}

Response& Response::ForcedLength(const std::string& value)
{
    framing = BodyFraming::ForcedLength;
    forcedLength = value;
    return *this;
}

Response& Response::Chunked()
{
    framing = BodyFraming::Chunked;
    return *this;
}

Response& Response::HeaderDelay(DWORD ms)
{
    headerDelayMs = ms;
    return *this;
}

Response& Response::Pieces(std::size_t size, DWORD delayMs)
{
    pieceSize = size == 0 ? 1 : size;
    pieceDelayMs = delayMs;
    return *this;
}

Response& Response::CloseAfter(std::uint64_t bodyBytes)
{
    cut = true;
    cutAfter = bodyBytes;
    resetAtCut = false;
    stallAtCut = false;
    return *this;
}

Response& Response::ResetAfter(std::uint64_t bodyBytes)
{
    cut = true;
    cutAfter = bodyBytes;
    resetAtCut = true;
    stallAtCut = false;
    return *this;
}

Response& Response::StallAfter(std::uint64_t bodyBytes)
{
    CloseAfter(bodyBytes);
    stallAtCut = true;
    return *this;
}

Response& Response::KeepConnectionHeaderOut()
{
    connectionClose = false;
    return *this;
}

std::uint64_t Response::BodySize() const
{
    return generated ? generatedSize : body.size();
}

const RecordedHeader* RecordedRequest::Find(const std::string& name) const
{
    for (const RecordedHeader& header : headers) {
        if (EqualsIgnoringCase(header.name, name)) {
            return &header;
        }
    }
    return nullptr;
}

std::vector<std::string> RecordedRequest::Values(const std::string& name) const
{
    std::vector<std::string> values;
    for (const RecordedHeader& header : headers) {
        if (EqualsIgnoringCase(header.name, name)) {
            values.push_back(header.value);
        }
    }
    return values;
}

std::vector<std::string> RecordedRequest::Names() const
{
    std::vector<std::string> names;
    for (const RecordedHeader& header : headers) {
        names.push_back(header.name);
    }
    return names;
}

namespace detail {

// State shared by the server object, its accept thread and its connection threads. The
// threads only use it between Start and the end of Stop, which joins them all.
struct ServerState {
    ServerState()
    {
        InitializeCriticalSection(&lock);
        stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        fallback = Response::Status(404, "Not Found").Body("no scripted response\n");
    }
    ~ServerState() { DeleteCriticalSection(&lock); }
    ServerState(const ServerState&) = delete;
    ServerState& operator=(const ServerState&) = delete;

    bool Stopping() const { return WaitForSingleObject(stopEvent.Get(), 0) == WAIT_OBJECT_0; }
    // Waits `ms`; false when Stop was asked meanwhile.
    bool Pause(DWORD ms) const { return WaitForSingleObject(stopEvent.Get(), ms) != WAIT_OBJECT_0; }

    CRITICAL_SECTION lock;
    HandleHolder stopEvent;
    SocketHolder listener;
    std::deque<Response> script;
    int nextScriptIndex = 0;
    Response fallback;
    std::vector<ServedExchange> exchanges;
    std::size_t accepted = 0;
    std::vector<HANDLE> connectionThreads;
};

} // namespace detail

namespace {

using detail::ServerState;

// Handed with its ownership to a connection thread.
struct ServerConnection {
    ServerState* shared;
    SocketHolder socket;
};

// Waits until the socket is readable (or writable); false when Stop was asked or the deadline
// (a GetTickCount value) passed.
bool WaitForSocket(const ServerState& shared, SOCKET socket, bool forWriting, DWORD deadline)
{
    for (;;) {
        if (shared.Stopping()) {
            return false;
        }
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
            return false;
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket, &set);
        timeval slice{};
        slice.tv_usec = static_cast<long>(kPollSliceMs * 1000);
        const int ready = forWriting ? select(0, nullptr, &set, nullptr, &slice)
                                     : select(0, &set, nullptr, nullptr, &slice);
        if (ready != 0) {
            return true;
        }
    }
}

bool SendAll(const ServerState& shared, SOCKET socket, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 20));
        const int result = send(socket, bytes.data() + sent, chunk, 0);
        if (result > 0) {
            sent += static_cast<std::size_t>(result);
            continue;
        }
        if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (!WaitForSocket(shared, socket, true, GetTickCount() + 0x7FFFFFFF)) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

// Reads until the blank line that ends the head. False when the client closed or was too slow.
bool ReadRequestHead(const ServerState& shared, SOCKET socket, std::string& head)
{
    const DWORD deadline = GetTickCount() + kRequestHeadTimeoutMs;
    char buffer[4096];
    for (;;) {
        const std::size_t end = head.find("\r\n\r\n");
        if (end != std::string::npos) {
            head.resize(end + 4);
            return true;
        }
        if (head.size() > kMaxRequestHead) {
            return false;
        }
        if (!WaitForSocket(shared, socket, false, deadline)) {
            return false;
        }
        const int received = recv(socket, buffer, sizeof(buffer), 0);
        if (received > 0) {
            head.append(buffer, static_cast<std::size_t>(received));
        } else if (received == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            return false;
        }
    }
}

void CloseGracefully(const ServerState& shared, SocketHolder& socket)
{
    shutdown(socket.Get(), SD_SEND);
    const DWORD deadline = GetTickCount() + kDrainAfterCloseMs;
    char buffer[4096];
    while (WaitForSocket(shared, socket.Get(), false, deadline)) {
        const int received = recv(socket.Get(), buffer, sizeof(buffer), 0);
        if (received == 0 || (received == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)) {
            break;
        }
    }
    socket.Release();
}

void ResetConnection(SocketHolder& socket)
{
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    setsockopt(socket.Get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof(option));
    socket.Release();
}

} // namespace

namespace {

void MarkProgress(ServerState& shared, std::size_t exchange, std::uint64_t bodyBytes, bool finished)
{
    const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared.lock);
    shared.exchanges[exchange].bodyBytesSent = bodyBytes;
    shared.exchanges[exchange].finished = finished;
}

// Acts out one response on a connection whose request was recorded as `exchange`.
void ActOut(ServerState& shared, SocketHolder& socket, const Response& response,
            std::size_t exchange)
{
    if (response.action == ResponseAction::CloseWithoutReply) {
        MarkProgress(shared, exchange, 0, true);
        CloseGracefully(shared, socket);
        return;
    }
    if (response.action == ResponseAction::Stall) {
        MarkProgress(shared, exchange, 0, true);
        shared.Pause(INFINITE);
        socket.Release();
        return;
    }
    if (!shared.Pause(response.headerDelayMs)) {
        return;
    }
    const std::uint64_t size = response.BodySize();
    const std::uint64_t limit = response.cut && response.cutAfter < size ? response.cutAfter : size;
    const bool chunked = response.framing == BodyFraming::Chunked && !response.useRawHead;
    std::string pending = BuildHead(response);
    std::uint64_t offset = 0;
    bool first = true;
    // The head goes out in one send with the first piece, so that a short body arrives in the
    // same packet as the head.
    while (offset < size || first) {
        if (!first && !shared.Pause(response.pieceDelayMs)) {
            return;
        }
        const std::size_t pieceSize =
            static_cast<std::size_t>(std::min<std::uint64_t>(response.pieceSize, size - offset));
        const std::size_t allowed =
            static_cast<std::size_t>(std::min<std::uint64_t>(pieceSize, limit - offset));
        if (chunked && pieceSize > 0) {
            pending += ChunkSizeLine(pieceSize);
        }
        pending += BodyPiece(response, offset, allowed);
        if (chunked && allowed == pieceSize && pieceSize > 0) {
            pending += "\r\n";
        }
        if (!SendAll(shared, socket.Get(), pending)) {
            return;
        }
        pending.clear();
        offset += allowed;
        first = false;
        MarkProgress(shared, exchange, offset, false);
        if (offset >= limit && limit < size) {
            break;
        }
    }
    if (response.cut && response.cutAfter < size) {
        MarkProgress(shared, exchange, offset, true);
        if (response.stallAtCut) {
            shared.Pause(INFINITE);
            socket.Release();
        } else if (response.resetAtCut) {
            // Stretched like the bench's other waits: a slower client needs longer to read.
            if (!shared.Pause(ScaledMs(response.resetPauseMs))) {
                return;
            }
            ResetConnection(socket);
        } else {
            CloseGracefully(shared, socket);
        }
        return;
    }
    if (chunked && !SendAll(shared, socket.Get(), "0\r\n\r\n")) {
        return;
    }
    MarkProgress(shared, exchange, offset, true);
    CloseGracefully(shared, socket);
}

void ServeConnection(ServerState& shared, SocketHolder& socket)
{
    u_long nonBlocking = 1;
    ioctlsocket(socket.Get(), FIONBIO, &nonBlocking);
    std::string head;
    const bool complete = ReadRequestHead(shared, socket.Get(), head);
    Response response;
    std::size_t exchange = 0;
    {
        const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared.lock);
        ServedExchange record;
        record.request = ParseRequestHead(head);
        record.complete = complete;
        if (complete) {
            if (!shared.script.empty()) {
                response = shared.script.front();
                shared.script.pop_front();
                record.scriptIndex = shared.nextScriptIndex++;
            } else {
                response = shared.fallback;
            }
        }
        if (response.redirectToNewPath) {
            response.Header("Location", "/hop" + std::to_string(shared.exchanges.size()));
        }
        shared.exchanges.push_back(record);
        exchange = shared.exchanges.size() - 1;
    }
    if (complete) {
        ActOut(shared, socket, response, exchange);
    }
}

} // namespace

namespace {

DWORD WINAPI ServerConnectionThread(void* parameter)
{
    ServerConnection* connection = static_cast<ServerConnection*>(parameter);
    try {
        ServeConnection(*connection->shared, connection->socket);
    } catch (...) {
        // The connection is dropped; the exchange stays unfinished, which the test sees.
    }
    delete connection;
    return 0;
}

DWORD WINAPI ServerAcceptThread(void* parameter)
{
    ServerState& shared = *static_cast<ServerState*>(parameter);
    try {
        while (WaitForSocket(shared, shared.listener.Get(), false, GetTickCount() + 0x7FFFFFFF)) {
            SocketHolder client(accept(shared.listener.Get(), nullptr, nullptr));
            if (client.IsEmpty()) {
                continue;
            }
            ServerConnection* connection = new ServerConnection{&shared, std::move(client)};
            const HANDLE thread =
                CreateThread(nullptr, 0, ServerConnectionThread, connection, 0, nullptr);
            if (thread == nullptr) {
                delete connection;
                continue;
            }
            const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared.lock);
            ++shared.accepted;
            shared.connectionThreads.push_back(thread);
        }
    } catch (...) {
        // Accepting ends; Stop still joins the connection threads started so far.
    }
    return 0;
}

} // namespace

TestServer::TestServer() : shared(new ServerState) {}

TestServer::~TestServer()
{
    Stop();
}

void TestServer::Enqueue(const Response& response)
{
    const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
    shared->script.push_back(response);
}

void TestServer::SetFallback(const Response& response)
{
    const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
    shared->fallback = response;
}

bool TestServer::Start(const std::string& listenAddress, unsigned short listenPort)
{
    if (Running()) {
        lastError = "the server is already running";
        return false;
    }
    unsigned char parts[4] = {};
    if (!ParseIpv4(listenAddress, parts) || parts[0] != 127) {
        lastError = "not a loopback IPv4 address: " + listenAddress;
        return false;
    }
    winsock.Reset(StartWinsock22());
    if (winsock.IsEmpty()) {
        lastError = "WSAStartup failed: " + Win32ErrorText(static_cast<DWORD>(winsock.Get()));
        return false;
    }
    SocketHolder listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (listener.IsEmpty()) {
        lastError = "socket failed: " + Win32ErrorText(static_cast<DWORD>(WSAGetLastError()));
        return false;
    }
    // No SO_REUSEADDR: on Windows it would let a second server share the address. Wine sets the
    // Unix option itself, so connections in TIME_WAIT do not block a restart.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(listenPort);
    std::memcpy(&local.sin_addr, parts, sizeof(parts));
    if (bind(listener.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        lastError = "bind to " + listenAddress + ":" + std::to_string(listenPort) +
                    " failed: " + Win32ErrorText(static_cast<DWORD>(WSAGetLastError()));
        return false;
    }
    if (listen(listener.Get(), SOMAXCONN) != 0) {
        lastError = "listen failed: " + Win32ErrorText(static_cast<DWORD>(WSAGetLastError()));
        return false;
    }
    u_long nonBlocking = 1;
    ioctlsocket(listener.Get(), FIONBIO, &nonBlocking);
    ResetEvent(shared->stopEvent.Get());
    shared->listener = std::move(listener);
    acceptThread.Reset(CreateThread(nullptr, 0, ServerAcceptThread, shared.get(), 0, nullptr));
    if (acceptThread.IsEmpty()) {
        lastError = "CreateThread failed: " + Win32ErrorText(GetLastError());
        shared->listener.Release();
        return false;
    }
    address = listenAddress;
    port = listenPort;
    lastError.clear();
    return true;
}

void TestServer::Stop()
{
    if (acceptThread.IsEmpty()) {
        return;
    }
    SetEvent(shared->stopEvent.Get());
    WaitForSingleObject(acceptThread.Get(), INFINITE);
    acceptThread.Release();
    shared->listener.Release();
    std::vector<HANDLE> threads;
    {
        const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
        threads.swap(shared->connectionThreads);
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    winsock.Release();
}

bool TestServer::Running() const
{
    return !acceptThread.IsEmpty();
}

std::string TestServer::BaseUrl() const
{
    std::string url = "http://" + address;
    if (port != 80) {
        url += ":" + std::to_string(port);
    }
    return url;
}

bool TestServer::WaitForRequests(std::size_t count, DWORD timeoutMs) const
{
    return WaitUntil(
        [&] {
            std::size_t complete = 0;
            const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
            for (const ServedExchange& exchange : shared->exchanges) {
                complete += exchange.complete ? 1 : 0;
            }
            return complete >= count;
        },
        timeoutMs);
}

bool TestServer::WaitForFinished(std::size_t count, DWORD timeoutMs) const
{
    return WaitUntil(
        [&] {
            std::size_t finished = 0;
            const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
            for (const ServedExchange& exchange : shared->exchanges) {
                finished += exchange.finished ? 1 : 0;
            }
            return finished >= count;
        },
        timeoutMs);
}

std::vector<RecordedRequest> TestServer::Requests() const
{
    std::vector<RecordedRequest> requests;
    const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
    for (const ServedExchange& exchange : shared->exchanges) {
        if (exchange.complete) {
            requests.push_back(exchange.request);
        }
    }
    return requests;
}

std::vector<ServedExchange> TestServer::Exchanges() const
{
    const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
    return shared->exchanges;
}

std::size_t TestServer::ConnectionsAccepted() const
{
    const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
    return shared->accepted;
}

std::string TestServer::Describe() const
{
    const CriticalSectionGuard guard = CriticalSectionGuard::Enter(shared->lock);
    std::string text = "test server " + BaseUrl() + ": " + std::to_string(shared->accepted) +
                       " connection(s), " + std::to_string(shared->script.size()) +
                       " scripted response(s) unused\n";
    for (std::size_t i = 0; i < shared->exchanges.size(); ++i) {
        const ServedExchange& exchange = shared->exchanges[i];
        text += "  #" + std::to_string(i) + (exchange.complete ? "" : " (incomplete head)") +
                " script " + std::to_string(exchange.scriptIndex) + ", " +
                std::to_string(exchange.bodyBytesSent) + " body byte(s) sent" +
                (exchange.finished ? "" : ", not finished") + "\n";
        text += "    " + exchange.request.requestLine + "\n";
        for (const RecordedHeader& header : exchange.request.headers) {
            text += "    " + header.line + "\n";
        }
    }
    return text;
}

} // namespace kdm_test
