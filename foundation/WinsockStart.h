// The holder of one WSAStartup, apart from foundation/Handles.h so that only the units that use
// Winsock see its header.
#ifndef KDM_FOUNDATION_WINSOCKSTART_H
#define KDM_FOUNDATION_WINSOCKSTART_H

#include <winsock2.h>

#include "foundation/Handles.h"

// The held value is WSAStartup's result: only a successful start (0) is cleaned up, and a
// released or default holder holds WSANOTINITIALISED. WSACleanup returns 0 when it succeeded.
struct WinsockCleanup {
    using Handle = int;
    static bool IsEmpty(int startResult) { return startResult != 0; }
    static int Empty() { return WSANOTINITIALISED; }
    static BOOL Free(int) { return WSACleanup() == 0; }
};

using WinsockStart = ScopedRelease<WinsockCleanup>;

#endif
