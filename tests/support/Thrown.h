// What a call threw, for comparing with the expected codes. An exception of another type
// propagates and fails the test.
#ifndef KDM_TESTS_SUPPORT_THROWN_H
#define KDM_TESTS_SUPPORT_THROWN_H

#include <cstdint>
#include <utility>

#include "foundation/Errors.h"

// The Code() of the E that f threw, or -1 when it threw nothing.
template <typename E, typename F> std::int64_t ThrownCode(F f)
{
    try {
        f();
    } catch (const E& e) {
        return e.Code();
    }
    return -1;
}

// Code and detail of the MAtomException that f threw, or (-1, -1) when it threw nothing.
template <typename F> std::pair<std::int64_t, std::int64_t> ThrownAtom(F f)
{
    try {
        f();
    } catch (const MAtomException& e) {
        return {e.Code(), e.Detail()};
    }
    return {-1, -1};
}

using AtomError = std::pair<std::int64_t, std::int64_t>;
const AtomError kNoError{-1, -1};

#endif
