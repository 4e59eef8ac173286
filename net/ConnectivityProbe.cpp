#include "net/ConnectivityProbe.h"

#include <winsock2.h>

#include <cstring>

#include "foundation/Handles.h"
#include "foundation/SystemLibraries.h"
#include "foundation/WinsockStart.h"

namespace {

const int kMaxAttempts = 4;
const DWORD kEchoTimeoutMs = 1250;
const WORD kEchoDataSize = 64;
const unsigned char kEchoDataByte = 0xAA;
// One ICMP echo reply record (28 bytes on 32-bit Windows) followed by the echoed data.
const DWORD kReplyBufferSize = 28 + kEchoDataSize;

// The ICMP functions as exported by Iphlpapi.dll and ICMP.dll; declared here because they are
// looked up at run time, never imported.
using IcmpCreateFileFunction = HANDLE(WINAPI*)();
using IcmpCloseHandleFunction = BOOL(WINAPI*)(HANDLE icmp);
using IcmpSendEchoFunction = DWORD(WINAPI*)(HANDLE icmp, unsigned long destination,
                                            void* requestData, WORD requestSize,
                                            void* requestOptions, void* replyBuffer,
                                            DWORD replySize, DWORD timeoutMs);

struct IcmpFunctions {
    IcmpCreateFileFunction create = nullptr;
    IcmpCloseHandleFunction close = nullptr;
    IcmpSendEchoFunction sendEcho = nullptr;

    bool Complete() const { return create != nullptr && close != nullptr && sendEcho != nullptr; }
};

IcmpFunctions LookUpIcmp(HMODULE library)
{
    IcmpFunctions functions;
    functions.create = GetProcAddressAs<IcmpCreateFileFunction>(library, "IcmpCreateFile");
    functions.close = GetProcAddressAs<IcmpCloseHandleFunction>(library, "IcmpCloseHandle");
    functions.sendEcho = GetProcAddressAs<IcmpSendEchoFunction>(library, "IcmpSendEcho");
    return functions;
}

// Exactly version 1.1: major byte 1 and minor byte 1.
bool IsVersion11(WORD version)
{
    return LOBYTE(version) == 1 && HIBYTE(version) == 1;
}

// An ICMP handle with the looked-up IcmpCloseHandle that closes it.
struct IcmpHandleAndClose {
    HANDLE handle;
    IcmpCloseHandleFunction close;
};

// IcmpCreateFile returns INVALID_HANDLE_VALUE when it fails.
struct IcmpRelease {
    using Handle = IcmpHandleAndClose;
    static bool IsEmpty(IcmpHandleAndClose icmp) { return icmp.handle == INVALID_HANDLE_VALUE; }
    static IcmpHandleAndClose Empty() { return {INVALID_HANDLE_VALUE, nullptr}; }
    static BOOL Free(IcmpHandleAndClose icmp) { return icmp.close(icmp.handle); }
};
using IcmpHandle = ScopedRelease<IcmpRelease>;

// One attempt: resolve the name, send one echo. True when the echo got a reply; the reply's
// status is not examined.
bool EchoOnce(const MStringEx<char>& hostName, const IcmpFunctions& icmp,
              ProbeEnvironment::Resolver resolve)
{
    const hostent* const host = resolve(hostName.Data());
    if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr ||
        host->h_length != 4) {
        return false;
    }
    unsigned long destination = 0;
    std::memcpy(&destination, host->h_addr_list[0], sizeof(destination));

    const IcmpHandle handle(IcmpHandleAndClose{icmp.create(), icmp.close});
    if (handle.IsEmpty()) {
        return false;
    }
    unsigned char requestData[kEchoDataSize];
    std::memset(requestData, kEchoDataByte, sizeof(requestData));
    // GMEM_FIXED with GMEM_ZEROINIT: the handle is the block's address.
    const GlobalMemoryGuard reply(GlobalAlloc(GPTR, kReplyBufferSize));
    if (reply.IsEmpty()) {
        return false;
    }
    return icmp.sendEcho(handle.Get().handle, destination, requestData, kEchoDataSize, nullptr,
                         reply.Get(), kReplyBufferSize, kEchoTimeoutMs) != 0;
}

} // namespace

MStringEx<wchar_t> ProbeHostName(const MStringEx<wchar_t>& address)
{
    MStringEx<wchar_t> name(address);
    std::uint32_t prefixLength = 0;
    if (address.StartsWithNoCase(L"http://")) {
        prefixLength = 7;
    } else if (address.StartsWithNoCase(L"https://")) {
        prefixLength = 8;
    }
    name.ReplaceBackslashes();
    if (prefixLength != 0) {
        name = name.Mid(prefixLength);
    }
    return name.LeftOfChar(L'/');
}

ProbeEnvironment DefaultProbeEnvironment()
{
    ProbeEnvironment environment{};
    environment.primaryLibrary = L"Iphlpapi.dll";
    environment.fallbackLibrary = L"ICMP.dll";
    environment.resolve = &gethostbyname;
    return environment;
}

bool IsHostReachable(MStringEx<wchar_t> address)
{
    return IsHostReachable(address, DefaultProbeEnvironment());
}

bool IsHostReachable(MStringEx<wchar_t> address, const ProbeEnvironment& environment)
{
    try {
        // Both loads are attempted, from the system folder. The guards release the fallback
        // library first, then the primary one.
        const ModuleGuard primary(LoadSystemLibrary(environment.primaryLibrary));
        const ModuleGuard fallback(LoadSystemLibrary(environment.fallbackLibrary));

        IcmpFunctions icmp;
        if (!primary.IsEmpty()) {
            icmp = LookUpIcmp(primary.Get());
        }
        // All three come from one library: a partial set from the primary one is replaced.
        if (!icmp.Complete() && !fallback.IsEmpty()) {
            icmp = LookUpIcmp(fallback.Get());
        }
        if (!icmp.Complete()) {
            return false;
        }

        // Asks for Winsock 1.1.
        WSADATA data{};
        const WinsockStart winsock(WSAStartup(MAKEWORD(1, 1), &data));
        if (winsock.IsEmpty() || !IsVersion11(data.wVersion)) {
            return false;
        }

        const MStringEx<char> hostName = ProbeHostName(address).ToUtf8();
        for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
            if (EchoOnce(hostName, icmp, environment.resolve)) {
                return true;
            }
        }
        return false;
    } catch (...) {
        return false;
    }
}
