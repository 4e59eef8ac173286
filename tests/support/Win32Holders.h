// Holders for the handles of the test bench: release traits of the program's holder template
// (foundation/Handles.h and foundation/WinsockStart.h, headers only). The bench uses nothing else
// of the program's library, so that it can test that library without depending on it.
#ifndef KDM_TESTS_SUPPORT_WIN32HOLDERS_H
#define KDM_TESTS_SUPPORT_WIN32HOLDERS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include "foundation/Handles.h"
#include "foundation/WinsockStart.h"

namespace kdm_test {

// A kernel handle: null and INVALID_HANDLE_VALUE are both empty.
struct KernelHandleRelease {
    using Handle = HANDLE;
    static bool IsEmpty(HANDLE handle)
    {
        return handle == nullptr || handle == INVALID_HANDLE_VALUE;
    }
    static HANDLE Empty() { return nullptr; }
    static BOOL Free(HANDLE handle) { return CloseHandle(handle); }
};

// closesocket returns 0 when it succeeded.
struct SocketRelease {
    using Handle = SOCKET;
    static bool IsEmpty(SOCKET socket) { return socket == INVALID_SOCKET; }
    static SOCKET Empty() { return INVALID_SOCKET; }
    static BOOL Free(SOCKET socket) { return closesocket(socket) == 0; }
};

struct CertificateStoreRelease : NullIsEmpty<HCERTSTORE> {
    static BOOL Free(HCERTSTORE store) { return CertCloseStore(store, 0); }
};

// Detach hands a context to a call that frees it itself.
struct CertificateRelease : NullIsEmpty<PCCERT_CONTEXT> {
    static BOOL Free(PCCERT_CONTEXT context) { return CertFreeCertificateContext(context); }
};

using HandleHolder = ScopedRelease<KernelHandleRelease>;
using SocketHolder = ScopedRelease<SocketRelease>;
using CertificateStoreHolder = ScopedRelease<CertificateStoreRelease>;
using CertificateHolder = ScopedRelease<CertificateRelease>;

// WSAStartup for Winsock 2.2: its result, for a WinsockStart holder.
inline int StartWinsock22()
{
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
}

} // namespace kdm_test

#endif
