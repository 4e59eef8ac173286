// The library's exception classes. Each is a small record of one or two 32-bit codes, thrown and
// caught by value; none carries text (texts for the user come from the string table and from
// FromWin32Error). Code tables are next to each class.
#ifndef KDM_FOUNDATION_ERRORS_H
#define KDM_FOUNDATION_ERRORS_H

#include <cstdint>

// Checked unit arithmetic failed (see Units.h).
class MUnitException {
public:
    enum : std::uint32_t {
        IncrementOverflow = 0,
        DecrementUnderflow = 1,
        AdditionOverflow = 2,
        SubtractionUnderflow = 4,
        DivisionRemainder = 5,
        DivisionByZero = 6,
        NarrowingOverflow = 7,
    };

    explicit MUnitException(std::uint32_t code) : code(code) {}
    std::uint32_t Code() const { return code; }

private:
    std::uint32_t code;
};

// A buffer operation was refused or failed. Code and detail:
//   0 null block or null pointer (0)          6 destination too small (0)
//   1 position out of range (0)               7 source range too short (0)
//   2 operation not possible on a view (0)    8 heap exhausted (8)
//   5 operation not valid for this buffer:    10 invalid data (13, ERROR_INVALID_DATA)
//     ownership kind, differing kinds in an exchange, odd length of hexadecimal text (0)
class MAtomException {
public:
    enum : std::uint32_t {
        NullBlock = 0,
        OutOfRange = 1,
        NotOnView = 2,
        InvalidForBuffer = 5,
        DestinationTooSmall = 6,
        SourceTooShort = 7,
        HeapExhausted = 8,
        InvalidData = 10,
    };

    MAtomException(std::uint32_t code, std::uint32_t detail) : code(code), detail(detail) {}
    std::uint32_t Code() const { return code; }
    std::uint32_t Detail() const { return detail; }

private:
    std::uint32_t code;
    std::uint32_t detail;
};

// A string operation failed:
//   0 string-table entry or version value missing, empty or malformed
//   3 character is not a digit of the radix
//   4 radix other than 2, 8, 10, 16
class MStringExException {
public:
    enum : std::int32_t { ResourceMissing = 0, NotADigit = 3, UnsupportedRadix = 4 };

    explicit MStringExException(std::int32_t code) : code(code) {}
    std::int32_t Code() const { return code; }

private:
    std::int32_t code;
};

// A dictionary refused an entry: 2 duplicate key.
class DictionaryException {
public:
    enum : std::int32_t { DuplicateKey = 2 };

    explicit DictionaryException(std::int32_t code) : code(code) {}
    std::int32_t Code() const { return code; }

private:
    std::int32_t code;
};

// An MSmartPtr was dereferenced while empty: code 0; the detail carries no meaning.
class MSmartPtrError {
public:
    enum : std::uint32_t { EmptyPointer = 0 };

    MSmartPtrError(std::uint32_t code, std::uint32_t detail) : code(code), detail(detail) {}
    std::uint32_t Code() const { return code; }
    std::uint32_t Detail() const { return detail; }

private:
    std::uint32_t code;
    std::uint32_t detail;
};

#endif
