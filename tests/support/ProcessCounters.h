// Counters of this process's resources, for the tests that check that repeated runs leak nothing.
#ifndef KDM_TESTS_SUPPORT_PROCESSCOUNTERS_H
#define KDM_TESTS_SUPPORT_PROCESSCOUNTERS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kdm_test {

// The process's open kernel handles. GetProcessHandleCount is newer than the headers' Windows XP
// level (looked up at run time), and Wine answers it with 0: then the handle table is probed value
// by value; Wine gives out the lowest free values, so the limit leaves room for thousands.
DWORD OpenHandleCount();

// The process's private bytes (commit charge), or 0 when they cannot be read.
SIZE_T PrivateBytes();

} // namespace kdm_test

#endif
