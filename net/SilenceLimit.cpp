// Compiled into each binary by itself rather than into the program library, so that the build
// fixes the value per binary: the loopback builds of the test suite wait a few seconds, the
// shipped binaries a minute. Nothing read at run time changes it.
#include "net/HttpTransfer.h"

#ifndef KDM_SILENCE_LIMIT_MS
#define KDM_SILENCE_LIMIT_MS 60000
#endif

const DWORD kSilenceLimitMs = KDM_SILENCE_LIMIT_MS;
