// The HTTP transfer of the package: one GET through WinINet, the response headers the caller
// asks for, and the body written block by block into the target file.
#ifndef KDM_NET_HTTPTRANSFER_H
#define KDM_NET_HTTPTRANSFER_H

#include <cstdint>

#include <windows.h>

#include "foundation/Containers.h"
#include "foundation/StringEx.h"

// The request header block's format: the caller fills in, in this order, the product name, the
// major product version, the Windows name ("XP", "Vista", "7", "8") and the processor word size
// ("32", "64"). Four lines, no line break after the last.
extern const wchar_t kRequestHeaderFormat[];
// The response header that carries the package's hash code (hyphens, not underscores).
extern const wchar_t kHashCodeHeaderName[];
// The response header that carries the maker's signature of the package: the base64 text of an
// RSA PKCS#1 v1.5 signature over the SHA-256 digest of the whole body. Asked for only by a build
// with a package key built in.
extern const wchar_t kSignatureHeaderName[];
// How long the transfer waits without receiving anything (for the connection, the status line or
// the next body bytes) before it takes the connection for broken, in milliseconds. Fixed at build
// time for each binary (net/SilenceLimit.cpp): 60 s in the shipped one.
extern const DWORD kSilenceLimitMs;
// Redirects followed for one request; one more ends the transfer as a failed request.
const int kRedirectLimit = 10;
// Requests made again for the rest of a body that broke off, and the pause before each.
const int kResumeTries = 3;

// Header names mapped to the raw bytes of their values (UTF-16 text as WinINet returns it).
using HeaderDictionary = Dictionary<MStringEx<wchar_t>, MemoryPH<unsigned char>, MNoLock, MNoLock>;

// The value of the header named `name` (as it was asked for), or null when the response did not
// carry it. Readers of the transfer's headers look them up by name, never by position. The
// pointer is valid while the dictionary is unchanged.
MemoryPH<unsigned char>* FindHeader(HeaderDictionary& headers, const MStringEx<wchar_t>& name);

// The address that is requested: the address itself when it contains "//", else "http://" and
// the address.
MStringEx<wchar_t> RequestAddress(const MStringEx<wchar_t>& address);
// The scheme and host part of a request address, which is probed before the request: the text
// before the first "/" after the scheme ("http://" or, in any letter case, "https://"; anything
// else counts as seven characters), or all of it when there is none (an address shorter than
// its scheme included).
MStringEx<wchar_t> ProbeAddress(const MStringEx<wchar_t>& requestAddress);
// Only a status from 200 to 299 delivers the package; any other (an error page, a redirect that
// WinINet did not follow, Wine's 0 for an empty reply) is never saved.
bool IsSuccessStatus(DWORD status);
// Content-Length text as the expected total: a non-empty decimal number that fits 64 bits gives
// true and the number; anything else gives false and 0 (no size known).
bool ParseContentLength(const MStringEx<wchar_t>& text, std::uint64_t& total);

// Fetches `address` and writes the body into `targetFile`. Called on the download worker thread;
// the transfer itself runs on a thread of its own, while the caller waits for that thread or for
// the cancel event, whichever comes first.
//
// Arguments, in this order:
//   address           the download address (IDS_DOWNLOAD_ADDRESS); "http://" is put in front
//                     when it holds no "//";
//   requestHeaders    the request header block (kRequestHeaderFormat filled in), sent with every
//                     request of the transfer;
//   agentName         WinINet's agent name: the version block's InternalName;
//   targetFile        open for writing at position 0; neither closed nor moved back here, except
//                     that a body sent again from its start (see below) replaces what was written;
//   progressWindow    receives progressMessage, sent synchronously after each block (also for
//                     the final empty read): wParam points to the expected total (0 = unknown),
//                     lParam to the bytes written so far; both valid only during the call. Before
//                     each request for the rest of a broken body lParam is 0 instead: the window
//                     says that the transfer is connecting again. The window's thread must keep
//                     pumping messages;
//   progressMessage   WM_DOWNLOAD_PROGRESS;
//   cancelEvent       signalled (or a failed wait): this call returns false at once, in any
//                     phase. No block is written and no message is sent once it has returned;
//                     the transfer thread, which alone owns its WinINet handles, ends by itself
//                     when its blocked WinINet call returns (at the latest after the silence
//                     limit), closing them;
//   headers           on entry its keys name the wanted response headers (values ignored); once
//                     the response has arrived its content is replaced by the wanted headers the
//                     response carries, each value as UTF-16 bytes (readers stop at the first
//                     null). An absent header has no entry. They are the headers of the response
//                     whose body starts at byte 0: a 206 continuation leaves them as they were.
//
// Each request carries requestHeaders; WinINet's own redirects are off, and up to
// kRedirectLimit redirects (to any http or https address) are followed here. Nothing received
// for kSilenceLimitMs ends a request like a failed read. When the body breaks off (a failed
// read, silence, or a clean end short of Content-Length) and its response allowed ranges
// ("Accept-Ranges: bytes", a known length and a strong ETag or a Last-Modified), the rest is
// asked for again at the address the redirects ended at, with "Range: bytes=<written>-" and
// "If-Range", up to kResumeTries times after pauses of 1, 2 and 4 s: a 206 must continue exactly
// where the file ends and name the same total, and a 200 starts the file again from byte 0.
//
// True only when the status was 2xx and the whole body was received and written; when the
// response gives a valid Content-Length and no Transfer-Encoding, the body must have exactly
// that length. False on an unreachable host, a failed open, a failed request, too many
// redirects, a body that broke off and could not be resumed, a failed write, a cancel, and any
// exception; the bytes already written stay in the file. Shows nothing to the user, never throws.
bool HttpDownload(MStringEx<wchar_t> address, const MStringEx<wchar_t>& requestHeaders,
                  const MStringEx<wchar_t>& agentName, HANDLE targetFile, HWND progressWindow,
                  UINT progressMessage, HANDLE cancelEvent, HeaderDictionary& headers);

#endif
