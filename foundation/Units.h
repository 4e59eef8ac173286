// Checked arithmetic on element counts, lengths and positions ("units", unsigned 32-bit). Every
// count calculation of the library goes through these; a result that does not fit raises
// MUnitException instead of wrapping.
#ifndef KDM_FOUNDATION_UNITS_H
#define KDM_FOUNDATION_UNITS_H

#include <cstdint>
#include <limits>

#include "foundation/Errors.h"

inline std::uint32_t UnitIncrement(std::uint32_t v)
{
    if (v == std::numeric_limits<std::uint32_t>::max()) {
        throw MUnitException(MUnitException::IncrementOverflow);
    }
    return v + 1;
}

inline std::uint32_t UnitDecrement(std::uint32_t v)
{
    if (v == 0) {
        throw MUnitException(MUnitException::DecrementUnderflow);
    }
    return v - 1;
}

inline std::uint32_t UnitAdd(std::uint32_t a, std::uint32_t b)
{
    if (a > std::numeric_limits<std::uint32_t>::max() - b) {
        throw MUnitException(MUnitException::AdditionOverflow);
    }
    return a + b;
}

inline std::uint32_t UnitSubtract(std::uint32_t a, std::uint32_t b)
{
    if (a < b) {
        throw MUnitException(MUnitException::SubtractionUnderflow);
    }
    return a - b;
}

// a / b, refused when b is 0 or the division leaves a remainder (an odd byte count read as
// 16-bit characters, for example).
inline std::uint32_t UnitDivideExact(std::uint32_t a, std::uint32_t b)
{
    if (b == 0) {
        throw MUnitException(MUnitException::DivisionByZero);
    }
    if (a % b != 0) {
        throw MUnitException(MUnitException::DivisionRemainder);
    }
    return a / b;
}

// v converted to the argument type of a Win32 or C runtime call (DWORD unless named), refused
// when it does not fit. Byte sizes are computed in 64 bits and narrowed here.
template <typename Target = unsigned long> Target UnitNarrow(std::uint64_t v)
{
    static_assert(std::numeric_limits<Target>::is_integer, "integer targets only");
    if (v > static_cast<std::uint64_t>(std::numeric_limits<Target>::max())) {
        throw MUnitException(MUnitException::NarrowingOverflow);
    }
    return static_cast<Target>(v);
}

inline std::uint32_t UnitMin(std::uint32_t a, std::uint32_t b)
{
    return a < b ? a : b;
}

#endif
