#include "net/HttpTransfer.h"

#include <wininet.h>

#include <cstring>

#include "foundation/Handles.h"
#include "foundation/SystemLibraries.h"
#include "net/ConnectivityProbe.h"

const wchar_t kRequestHeaderFormat[] = L"NORVALIS_PRODUCT: %s\r\nNORVALIS_PRODUCT_VERSION: "
                                       L"%s\r\nZELQ_OS_VERSION: %s\r\nZELQ_CPU_TYPE: %s";
const wchar_t kHashCodeHeaderName[] = L"NORVALIS-DOWNLOAD-HASHCODE";
const wchar_t kSignatureHeaderName[] = L"NORVALIS-DOWNLOAD-SIGNATURE";

namespace {

// Always from the server, never into the cache, no cookies either way, no dialogs, and every
// redirect seen here, where the hops are counted.
const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                            INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;
// The buffer size for a header when the size query unexpectedly succeeds without a buffer.
const DWORD kFallbackLengthBufferSize = 10000;
const DWORD kResumePausesMs[kResumeTries] = {1000, 2000, 4000};

// The text of a header value that WinINet wrote into `buffer`, `byteLength` bytes long (without
// the terminator), up to its first null character.
MStringEx<wchar_t> HeaderText(MemoryPH<unsigned char>& buffer, DWORD byteLength)
{
    buffer.Truncate(UnitMin(byteLength, buffer.Count()) & ~1u);
    if (buffer.Count() == 0) {
        return MStringEx<wchar_t>();
    }
    return MStringEx<wchar_t>(WideView(buffer), true);
}

// A header of the response as text, read with an HTTP_QUERY_* code; false when the response
// has none.
bool QueryText(HINTERNET request, DWORD infoLevel, MStringEx<wchar_t>& text)
{
    DWORD length = 0;
    if (HttpQueryInfoW(request, infoLevel, nullptr, &length, nullptr)) {
        length = kFallbackLengthBufferSize;
    }
    MemoryPH<unsigned char> buffer(length);
    DWORD index = 0;
    if (!HttpQueryInfoW(request, infoLevel, buffer.Data(), &length, &index)) {
        return false;
    }
    text = HeaderText(buffer, length);
    return true;
}

bool HasTransferEncoding(HINTERNET request)
{
    DWORD length = 0;
    if (HttpQueryInfoW(request, HTTP_QUERY_TRANSFER_ENCODING, nullptr, &length, nullptr)) {
        return true;
    }
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

// The HTTP status code; false when WinINet cannot tell it.
bool QueryStatus(HINTERNET request, DWORD& status)
{
    DWORD length = sizeof(status);
    return HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                          &length, nullptr) != FALSE;
}

// Puts the header name and its terminating null character at the start of the buffer, as
// HTTP_QUERY_CUSTOM expects, enlarging the buffer when the name does not fit.
void PutHeaderName(MemoryPH<unsigned char>& buffer, const MStringEx<wchar_t>& name)
{
    const DWORD nameBytes = name.ByteSize();
    if (buffer.Count() < nameBytes) {
        buffer.Reallocate(nameBytes);
    }
    std::memcpy(buffer.Data(), name.Data(), nameBytes);
}

// Queries each wanted header by name and replaces the dictionary's content with the answered
// ones. A value that does not fit the name's buffer is read again into a buffer of the size
// WinINet reported; that value keeps its terminator.
void QueryWantedHeaders(HINTERNET request, HeaderDictionary& headers)
{
    HeaderDictionary answered;
    for (std::uint32_t i = 0; i < headers.Count(); ++i) {
        const MStringEx<wchar_t>& name = headers.GetAt(i)->key;
        MemoryPH<unsigned char> buffer(name.ByteSize());
        PutHeaderName(buffer, name);
        DWORD length = buffer.ByteSize();
        const BOOL found =
            HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, buffer.Data(), &length, nullptr);
        const DWORD error = found ? ERROR_SUCCESS : GetLastError();
        if (found) {
            buffer.Truncate(UnitMin(length, buffer.Count()));
            answered.Add(new HeaderDictionary::PairType(name, buffer));
            continue;
        }
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            continue;
        }
        const DWORD reported = length;
        buffer.Reallocate(reported);
        PutHeaderName(buffer, name);
        length = buffer.ByteSize();
        if (HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, buffer.Data(), &length, nullptr)) {
            buffer.Truncate(UnitMin(reported, buffer.Count()));
            answered.Add(new HeaderDictionary::PairType(name, buffer));
        }
    }
    headers.AssignList(answered);
}

// Waits for one of `handles` as WaitForMultipleObjects does, delivering meanwhile the messages
// that other threads send to this thread's windows: the progress window may be the caller's.
DWORD WaitDeliveringSentMessages(DWORD count, const HANDLE* handles, DWORD milliseconds)
{
    for (;;) {
        const DWORD result =
            MsgWaitForMultipleObjects(count, handles, FALSE, milliseconds, QS_SENDMESSAGE);
        if (result != WAIT_OBJECT_0 + count) {
            return result;
        }
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

bool IsRedirectStatus(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A validator that tells the server which version of the file the bytes on disk belong to: a
// strong ETag, else Last-Modified. Empty when the response has neither (a weak ETag cannot
// vouch for equal bytes).
MStringEx<wchar_t> QueryValidator(HINTERNET request)
{
    MStringEx<wchar_t> text;
    if (QueryText(request, HTTP_QUERY_ETAG, text) && !text.IsEmpty() &&
        !text.StartsWithNoCase(L"W/")) {
        return text;
    }
    if (QueryText(request, HTTP_QUERY_LAST_MODIFIED, text)) {
        return text;
    }
    return MStringEx<wchar_t>();
}

bool AcceptsByteRanges(HINTERNET request)
{
    MStringEx<wchar_t> text;
    return QueryText(request, HTTP_QUERY_ACCEPT_RANGES, text) &&
           text.EqualsNoCase(MStringEx<wchar_t>(L"bytes"));
}

// True when `text` is a decimal number that fits 64 bits.
bool ParseDecimal(const MStringEx<wchar_t>& text, std::uint64_t& value)
{
    return ParseContentLength(text, value);
}

// True when a 206's Content-Range ("bytes <first>-<last>/<total>") continues the file exactly:
// from `first` to the end of the same `total`.
bool ContinuesAt(HINTERNET request, std::uint64_t first, std::uint64_t total)
{
    MStringEx<wchar_t> text;
    if (!QueryText(request, HTTP_QUERY_CONTENT_RANGE, text) || !text.StartsWithNoCase(L"bytes ")) {
        return false;
    }
    const MStringEx<wchar_t> range = text.Mid(6);
    const int dash = range.Find(L"-");
    const int slash = range.Find(L"/");
    if (dash <= 0 || slash <= dash) {
        return false;
    }
    std::uint64_t from = 0;
    std::uint64_t last = 0;
    std::uint64_t size = 0;
    return ParseDecimal(range.Left(static_cast<std::uint32_t>(dash)), from) &&
           ParseDecimal(range.Left(static_cast<std::uint32_t>(slash))
                            .Mid(static_cast<std::uint32_t>(dash) + 1),
                        last) &&
           ParseDecimal(range.Mid(static_cast<std::uint32_t>(slash) + 1), size) && from == first &&
           size == total && last + 1 == total;
}

// The one transfer that a call of HttpDownload starts: shared by the caller (the download
// worker) and the transfer thread, each of which holds one reference; the last to let go
// deletes it.
//
// Ownership: the WinINet handles belong to the transfer thread alone. It opens them, makes every
// call on them and closes them (Run closes them before it lets go of its reference, so the
// destructor, which may run on the caller's thread, finds them closed). Nothing is closed across
// threads: a close from the caller's thread could land between the transfer thread's last check
// and its next call, which would then run on a closed handle, or on a value WinINet has meanwhile
// given to another handle of the host process; and Wine's WinINet does not even end a blocked
// call when its handle is closed.
//
// A confirmed cancel therefore abandons the transfer instead of stopping it: the caller sets
// `abandoned` under `lock` and signals `stop`, and returns at once. The transfer thread writes
// each block and reports it (and moves the file back for a new body) under the same lock, after
// testing `abandoned` and the cancel event (Stopped), so that after Abandon it writes nothing and
// sends no message, and a cancel set while a block is reported stops the next block. It sees the
// abandonment when its blocked call returns (data, or the silence limit), before its next request
// or in a pause (which `stop` ends), closes its handles and ends; it holds its own reference to
// the module, so the code it runs stays loaded, and the caller's file is free as soon as Abandon
// has returned.
class Transfer {
public:
    Transfer(const MStringEx<wchar_t>& address, const MStringEx<wchar_t>& requestHeaders,
             const MStringEx<wchar_t>& agentName, HANDLE targetFile, HANDLE cancelEvent,
             HWND progressWindow, UINT progressMessage, const HeaderDictionary& wanted)
        : address(address), requestHeaders(requestHeaders), agentName(agentName),
          progressWindow(progressWindow), progressMessage(progressMessage), file(targetFile),
          cancelEvent(cancelEvent), stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        InitializeCriticalSection(&lock);
        lockLifetime.Reset(&lock);
        headers.AssignList(wanted);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // False when the stop event could not be made.
    bool IsReady() const { return stop.IsValid(); }

    void Release()
    {
        if (InterlockedDecrement(&references) == 0) {
            delete this;
        }
    }

    // Caller's side, when the cancel event came first. Returns once the transfer thread has
    // stopped using the caller's file and window: it may be writing a block or sending progress
    // to a window of the caller's thread, under the lock, so that message is delivered while
    // waiting.
    void Abandon()
    {
        CriticalSectionGuard guard = CriticalSectionGuard::TryEnter(lock);
        while (!guard.IsEntered()) {
            WaitDeliveringSentMessages(0, nullptr, 1);
            guard = CriticalSectionGuard::TryEnter(lock);
        }
        abandoned = true;
        SetEvent(stop.Get());
    }

    // Transfer thread: the whole transfer; `succeeded` and `headers` hold its outcome.
    void Run()
    {
        try {
            succeeded = Fetch();
        } catch (...) {
            succeeded = false;
        }
        CloseInternetHandles();
    }

    bool succeeded = false;
    HeaderDictionary headers;

private:
    // How a body read ended.
    enum class BodyEnd { Complete, Broken, Failed };

    // Children before their parents.
    void CloseInternetHandles()
    {
        request.Release();
        connection.Release();
        session.Release();
    }

    bool Live()
    {
        const CriticalSectionGuard guard = CriticalSectionGuard::Enter(lock);
        return !Stopped();
    }

    void SetTimeouts(HINTERNET handle)
    {
        DWORD limit = kSilenceLimitMs;
        InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &limit, sizeof(limit));
        InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &limit, sizeof(limit));
        InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &limit, sizeof(limit));
    }

    // Sends one GET for `target` with the request headers and `extraHeaders`, following
    // redirects up to kRedirectLimit; `target` ends as the address that answered. False when no
    // response arrived or the hops ran out; else `status` holds the final status.
    bool Request(MStringEx<wchar_t>& target, const MStringEx<wchar_t>& extraHeaders, DWORD& status)
    {
        const MStringEx<wchar_t> sent = requestHeaders + extraHeaders;
        for (int hop = 0; hop <= kRedirectLimit; ++hop) {
            if (!SendOne(target, sent) || !QueryStatus(request.Get(), status)) {
                return false;
            }
            MStringEx<wchar_t> location;
            if (!IsRedirectStatus(status) ||
                !QueryText(request.Get(), HTTP_QUERY_LOCATION, location)) {
                return true;
            }
            target = CombinedAddress(target, location);
        }
        return false;
    }

    static MStringEx<wchar_t> CombinedAddress(const MStringEx<wchar_t>& base,
                                              const MStringEx<wchar_t>& relative)
    {
        DWORD length = 0;
        InternetCombineUrlW(base.Data(), relative.Data(), nullptr, &length, ICU_NO_ENCODE);
        MemoryPH<wchar_t> combined(length + 1);
        length = combined.Count();
        if (!InternetCombineUrlW(base.Data(), relative.Data(), combined.Data(), &length,
                                 ICU_NO_ENCODE)) {
            return relative;
        }
        return MStringEx<wchar_t>(combined.Data());
    }

    bool SendOne(const MStringEx<wchar_t>& target, const MStringEx<wchar_t>& sent)
    {
        URL_COMPONENTSW parts{};
        parts.dwStructSize = sizeof(parts);
        parts.dwHostNameLength = 1;
        parts.dwUrlPathLength = 1;
        parts.dwExtraInfoLength = 1;
        if (!InternetCrackUrlW(target.Data(), target.Length(), 0, &parts) ||
            (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
            parts.dwHostNameLength == 0) {
            return false;
        }
        const MStringEx<wchar_t> host =
            target.Mid(static_cast<std::uint32_t>(parts.lpszHostName - target.Data()))
                .Left(parts.dwHostNameLength);
        const MStringEx<wchar_t> path =
            parts.dwUrlPathLength == 0
                ? MStringEx<wchar_t>(L"/")
                : target.Mid(static_cast<std::uint32_t>(parts.lpszUrlPath - target.Data()))
                      .Left(parts.dwUrlPathLength + parts.dwExtraInfoLength);
        // A new connection for each hop: the next address may name another host or scheme.
        request.Release();
        if (!Live()) {
            return false;
        }
        connection.Reset(InternetConnectW(session.Get(), host.Data(), parts.nPort, nullptr, nullptr,
                                          INTERNET_SERVICE_HTTP, 0, 0));
        if (connection.IsEmpty()) {
            return false;
        }
        const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0;
        request.Reset(HttpOpenRequestW(connection.Get(), L"GET", path.Data(), nullptr, nullptr,
                                       nullptr, kRequestFlags | secure, 0));
        if (request.IsEmpty()) {
            return false;
        }
        SetTimeouts(request.Get());
        return HttpSendRequestW(request.Get(), sent.Data(), sent.Length(), nullptr, 0) && Live();
    }

    // Under the lock: true once the caller has abandoned the transfer or set its cancel event.
    // The caller's event is valid while the caller is inside HttpDownload, which it leaves only
    // after the thread has ended or after Abandon; `abandoned` is tested first.
    bool Stopped() const
    {
        return abandoned || WaitForSingleObject(cancelEvent, 0) != WAIT_TIMEOUT;
    }

    // Writes and reports one block under the lock; false when the transfer was stopped or
    // the write failed.
    bool Deliver(const unsigned char* bytes, DWORD count)
    {
        const CriticalSectionGuard guard = CriticalSectionGuard::Enter(lock);
        DWORD written = 0;
        if (Stopped() || !WriteFile(file, bytes, count, &written, nullptr) || written != count) {
            return false;
        }
        done += count;
        SendMessageW(progressWindow, progressMessage, reinterpret_cast<WPARAM>(&total),
                     reinterpret_cast<LPARAM>(&done));
        return true;
    }

    // The body loop: each block is read whole, written whole and reported.
    BodyEnd ReadBody()
    {
        for (;;) {
            DWORD available = 0;
            if (!InternetQueryDataAvailable(request.Get(), &available, 0, 0)) {
                return BodyEnd::Broken;
            }
            MemoryPH<unsigned char> block(available);
            DWORD read = 0;
            if (!InternetReadFile(request.Get(), block.Data(), available, &read) ||
                read != available) {
                return BodyEnd::Broken;
            }
            // Bytes beyond the announced length are not written: the body is not the one
            // announced.
            if (expectedLength && read > total - done) {
                return BodyEnd::Failed;
            }
            if (!Deliver(block.Data(), read)) {
                return BodyEnd::Failed;
            }
            if (read == 0) {
                // WinINet reports a connection closed early as a clean end of data.
                return !expectedLength || done == total ? BodyEnd::Complete : BodyEnd::Broken;
            }
        }
    }

    // Takes the framing, the wanted headers and the resume conditions from a response whose
    // body starts at byte 0.
    void TakeWholeResponse()
    {
        MStringEx<wchar_t> lengthText;
        const bool validLength = QueryText(request.Get(), HTTP_QUERY_CONTENT_LENGTH, lengthText) &&
                                 ParseContentLength(lengthText, total);
        expectedLength = validLength && !HasTransferEncoding(request.Get());
        validator = QueryValidator(request.Get());
        resumable = expectedLength && AcceptsByteRanges(request.Get()) && !validator.IsEmpty();
        QueryWantedHeaders(request.Get(), headers);
    }

    // Starts the file again from byte 0 for a response that sends the whole body.
    bool Rewind()
    {
        const CriticalSectionGuard guard = CriticalSectionGuard::Enter(lock);
        done = 0;
        return !Stopped() && SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
               SetEndOfFile(file);
    }

    // Shows the connecting text again (the bar keeps its place), waits the pause of try `tries`
    // and asks for the rest of the body. Broken when that request fails (another try may
    // follow); Failed when the answer cannot continue the file.
    BodyEnd Resume(int tries)
    {
        {
            const CriticalSectionGuard guard = CriticalSectionGuard::Enter(lock);
            if (Stopped()) {
                return BodyEnd::Failed;
            }
            SendMessageW(progressWindow, progressMessage, reinterpret_cast<WPARAM>(&total), 0);
        }
        if (WaitForSingleObject(stop.Get(), kResumePausesMs[tries]) != WAIT_TIMEOUT) {
            return BodyEnd::Failed;
        }
        const MStringEx<wchar_t> range =
            MStringEx<wchar_t>::Format(L"\r\nRange: bytes=%I64u-\r\nIf-Range: %s", done, validator);
        DWORD status = 0;
        MStringEx<wchar_t> target = finalAddress;
        if (!Request(target, range, status)) {
            return Live() ? BodyEnd::Broken : BodyEnd::Failed;
        }
        if (status == 206) {
            return ContinuesAt(request.Get(), done, total) ? ReadBody() : BodyEnd::Failed;
        }
        if (status != 200 || !Rewind()) {
            return BodyEnd::Failed;
        }
        finalAddress = target;
        TakeWholeResponse();
        return ReadBody();
    }

    bool Fetch()
    {
        if (!IsHostReachable(ProbeAddress(address))) {
            return false;
        }
        session.Reset(
            InternetOpenW(agentName.Data(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        if (session.IsEmpty()) {
            return false;
        }
        SetTimeouts(session.Get());
        finalAddress = address;
        DWORD status = 0;
        if (!Request(finalAddress, MStringEx<wchar_t>(), status)) {
            return false;
        }
        TakeWholeResponse();
        if (!IsSuccessStatus(status)) {
            return false;
        }
        BodyEnd end = ReadBody();
        for (int tries = 0; end == BodyEnd::Broken && resumable && tries < kResumeTries; ++tries) {
            end = Resume(tries);
        }
        return end == BodyEnd::Complete;
    }

    CRITICAL_SECTION lock;
    CriticalSectionLifetime lockLifetime;
    LONG references = 2;
    // Guarded by `lock`.
    bool abandoned = false;

    const MStringEx<wchar_t> address;
    const MStringEx<wchar_t> requestHeaders;
    const MStringEx<wchar_t> agentName;
    const HWND progressWindow;
    const UINT progressMessage;
    // The caller's, not owned: used only under the lock and never after Abandon, so the caller
    // may close it as soon as HttpDownload has returned.
    const HANDLE file;
    // The caller's cancel event, not owned: see Stopped.
    const HANDLE cancelEvent;
    // Signalled by Abandon; ends the pause before a resumed request at once. The transfer's own
    // rather than the caller's cancel event: a later run of the caller resets that one.
    const MHandle stop;

    // The transfer thread's alone (see the class comment).
    InternetHandleGuard session;
    InternetHandleGuard connection;
    InternetHandleGuard request;
    // The transfer thread's own, but `done` and `total` are also read by the progress window
    // during the synchronous send.
    MStringEx<wchar_t> finalAddress;
    MStringEx<wchar_t> validator;
    std::uint64_t total = 0;
    std::uint64_t done = 0;
    bool expectedLength = false;
    bool resumable = false;
};

DWORD WINAPI TransferThread(void* parameter)
{
    Transfer* const transfer = static_cast<Transfer*>(parameter);
    transfer->Run();
    transfer->Release();
    // Releases the reference that HttpDownload took for this thread, in the call that ends it.
    const HMODULE self = ThisModule(false);
    if (self != nullptr) {
        FreeLibraryAndExitThread(self, 0);
    }
    return 0;
}

// Drops the caller's reference to a transfer on every path out of HttpDownload.
struct TransferReference {
    Transfer* transfer;
    ~TransferReference() { transfer->Release(); }
};

} // namespace

MStringEx<wchar_t> RequestAddress(const MStringEx<wchar_t>& address)
{
    if (address.Find(L"//") == -1) {
        return L"http://" + address;
    }
    return address;
}

MStringEx<wchar_t> ProbeAddress(const MStringEx<wchar_t>& requestAddress)
{
    // The host starts after "http://" (7 characters) or "https://" (8): searching from index 7
    // alone would find the second slash of "https://" and probe "https:/".
    const std::uint32_t schemeEnd = requestAddress.StartsWithNoCase(L"https://") ? 8 : 7;
    if (requestAddress.Length() < schemeEnd) {
        return requestAddress;
    }
    const int slash = requestAddress.FindCharNoCase(L'/', schemeEnd);
    if (slash == -1) {
        return requestAddress;
    }
    return requestAddress.Left(static_cast<std::uint32_t>(slash));
}

MemoryPH<unsigned char>* FindHeader(HeaderDictionary& headers, const MStringEx<wchar_t>& name)
{
    for (std::uint32_t i = 0; i < headers.Count(); ++i) {
        HeaderDictionary::PairType* const pair = headers.GetAt(i);
        if (pair->key == name) {
            return &pair->value;
        }
    }
    return nullptr;
}

bool IsSuccessStatus(DWORD status)
{
    return status >= 200 && status <= 299;
}

bool ParseContentLength(const MStringEx<wchar_t>& text, std::uint64_t& total)
{
    MStringEx<wchar_t> decimal(text);
    decimal.SetRadix(10);
    if (decimal.IsEmpty() || !decimal.ToUInt64(total)) {
        total = 0;
        return false;
    }
    return true;
}

bool HttpDownload(MStringEx<wchar_t> address, const MStringEx<wchar_t>& requestHeaders,
                  const MStringEx<wchar_t>& agentName, HANDLE targetFile, HWND progressWindow,
                  UINT progressMessage, HANDLE cancelEvent, HeaderDictionary& headers)
{
    try {
        Transfer* const transfer =
            new Transfer(RequestAddress(address), requestHeaders, agentName, targetFile,
                         cancelEvent, progressWindow, progressMessage, headers);
        // Until the thread has started, the caller holds both references.
        TransferReference caller{transfer};
        if (!transfer->IsReady()) {
            transfer->Release();
            return false;
        }
        // Taken before the thread exists, released by the thread's last call: the module stays
        // loaded while an abandoned transfer thread still runs.
        const HMODULE reference = ThisModule(true);
        if (reference == nullptr) {
            transfer->Release();
            return false;
        }
        const HANDLE thread = CreateThread(nullptr, 0, TransferThread, transfer, 0, nullptr);
        if (thread == nullptr) {
            FreeLibrary(reference);
            transfer->Release();
            return false;
        }
        const MHandle threadOwner(thread);
        const HANDLE waits[] = {thread, cancelEvent};
        if (WaitDeliveringSentMessages(2, waits, INFINITE) != WAIT_OBJECT_0) {
            // The thread goes on until its blocked call returns, then ends by itself.
            transfer->Abandon();
            return false;
        }
        headers.AssignList(transfer->headers);
        return transfer->succeeded;
    } catch (...) {
        return false;
    }
}
