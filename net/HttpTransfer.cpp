#include "net/HttpTransfer.h"

#include <wininet.h>

#include <cstring>

#include "foundation/Handles.h"
#include "net/ConnectivityProbe.h"

const wchar_t kRequestHeaderFormat[] = L"NORVALIS_PRODUCT: %s\r\nNORVALIS_PRODUCT_VERSION: "
                                       L"%s\r\nZELQ_OS_VERSION: %s\r\nZELQ_CPU_TYPE: %s";
const wchar_t kHashCodeHeaderName[] = L"NORVALIS-DOWNLOAD-HASHCODE";
const wchar_t kSignatureHeaderName[] = L"NORVALIS-DOWNLOAD-SIGNATURE";

namespace {

// Always from the server, never into the cache, no cookies either way, no dialogs.
const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                            INTERNET_FLAG_PRAGMA_NOCACHE;
// The buffer size for Content-Length when the size query unexpectedly succeeds without a buffer.
const DWORD kFallbackLengthBufferSize = 10000;

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

// Content-Length of the response as text; false when the response has none.
bool QueryContentLengthText(HINTERNET request, MStringEx<wchar_t>& text)
{
    DWORD length = 0;
    if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, nullptr, &length, nullptr)) {
        length = kFallbackLengthBufferSize;
    }
    MemoryPH<unsigned char> buffer(length);
    DWORD index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, buffer.Data(), &length, &index)) {
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

// The body loop: each block is read whole, written whole and reported. `expectedLength` is
// true when the body must be exactly `total` bytes long.
bool TransferBody(HINTERNET request, HANDLE targetFile, HWND progressWindow, UINT progressMessage,
                  HANDLE cancelEvent, std::uint64_t total, bool expectedLength)
{
    std::uint64_t done = 0;
    for (;;) {
        if (WaitForSingleObject(cancelEvent, 0) != WAIT_TIMEOUT) {
            return false;
        }
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
            return false;
        }
        MemoryPH<unsigned char> block(available);
        DWORD read = 0;
        if (!InternetReadFile(request, block.Data(), available, &read) || read != available) {
            return false;
        }
        // Bytes beyond the announced length are not written: the body is not the one announced.
        if (expectedLength && read > total - done) {
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(targetFile, block.Data(), read, &written, nullptr) || written != read) {
            return false;
        }
        done += read;
        SendMessageW(progressWindow, progressMessage, reinterpret_cast<WPARAM>(&total),
                     reinterpret_cast<LPARAM>(&done));
        if (read == 0) {
            // WinINet reports a connection closed early as a clean end of data.
            return !expectedLength || done == total;
        }
    }
}

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
        address = RequestAddress(address);
        if (!IsHostReachable(ProbeAddress(address))) {
            return false;
        }
        // Declared in this order so that the request handle is closed before the session.
        const InternetHandleGuard internet(
            InternetOpenW(agentName.Data(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        if (internet.IsEmpty()) {
            return false;
        }
        const InternetHandleGuard request(
            InternetOpenUrlW(internet.Get(), address.Data(), requestHeaders.Data(),
                             requestHeaders.Length(), kRequestFlags, 0));
        if (request.IsEmpty()) {
            return false;
        }

        std::uint64_t total = 0;
        MStringEx<wchar_t> lengthText;
        const bool validLength = QueryContentLengthText(request.Get(), lengthText) &&
                                 ParseContentLength(lengthText, total);
        QueryWantedHeaders(request.Get(), headers);

        DWORD status = 0;
        if (!QueryStatus(request.Get(), status) || !IsSuccessStatus(status)) {
            return false;
        }
        const bool expectedLength = validLength && !HasTransferEncoding(request.Get());
        return TransferBody(request.Get(), targetFile, progressWindow, progressMessage, cancelEvent,
                            total, expectedLength);
    } catch (...) {
        return false;
    }
}
