// The program's string type: a null-terminated buffer on the process heap whose Count() includes
// the terminator (the empty string has Count() 1). Every string owns an exact-size block; strings
// are copied, passed and returned by value, and every change of length allocates a new block.
//
// MStringEx<wchar_t> carries all text; MStringEx<char> holds UTF-8. The members marked "wide
// only" exist for MStringEx<wchar_t> alone.
//
// Case-insensitive operations fold only the ASCII letters A-Z and a-z.
#ifndef KDM_FOUNDATION_STRINGEX_H
#define KDM_FOUNDATION_STRINGEX_H

#include <cstdarg>
#include <cstdint>
#include <type_traits>

#include <windows.h>

#include "foundation/Memory.h"

template <typename T> class MStringEx;

// The value that Format passes for one argument: a wide string's text, or the number or pointer
// itself.
inline const wchar_t* FormatArgument(const MStringEx<wchar_t>& text);
template <typename V> V FormatArgument(V value)
{
    static_assert(std::is_arithmetic<V>::value || std::is_enum<V>::value ||
                      std::is_pointer<V>::value,
                  "format arguments are strings, numbers or pointers");
    return value;
}

// Language of the system texts of FromWin32Error; 0 (the system's choice) unless set.
extern DWORD messageLanguage;

template <typename T> class MStringEx : public MemoryPH<T> {
public:
    // The empty string.
    MStringEx();
    // The characters up to the first null; a null pointer gives the empty string.
    MStringEx(const T* text);
    // Count, elements and radix.
    MStringEx(const MStringEx& other);
    // The characters of a raw block (its byte size / sizeof(T)) up to the first null, or all of
    // them plus a terminator when it holds no null.
    explicit MStringEx(const MMemory<T>& block);
    // The elements of a buffer plus a terminator; with stopAtNull, only those before the first
    // null element.
    MStringEx(const MAtom<T>& elements, bool stopAtNull);
    ~MStringEx() override = default;

    // A string of `length` characters to be filled by the caller; the first and the last element
    // are null.
    static MStringEx WithLength(std::uint32_t length);
    // Wide only. Formats with the Microsoft C runtime's rules: %s takes wide text, %d a 32-bit
    // integer, %04x a 16-bit value, %I64u an unsigned 64-bit integer. A null format gives the
    // empty string. A string argument passes its text; other arguments must be numbers or
    // pointers (checked when compiling, so that no string object goes through "...").
    template <typename... Args>
    static MStringEx Format(const wchar_t* format, const Args&... arguments)
    {
        return FormatValues(format, FormatArgument(arguments)...);
    }
    // Wide only. The system's message for a Win32 error code, trimmed; "Unknown." when the system
    // has none. Never throws for an unknown code.
    static MStringEx FromWin32Error(DWORD code);
    // Wide only. FromWin32Error of the calling thread's last error.
    static MStringEx FromLastError();
    // Wide only. Decimal text with "," between groups of three digits: 1234567 gives 1,234,567.
    static MStringEx FromUInt64(std::uint64_t value);

    // Copies the elements and the radix (reallocating only when the counts differ).
    MStringEx& operator=(const MStringEx& other);
    // The characters of a C string (as the constructor); the radix is kept.
    MStringEx& operator=(const T* text);

    // Count() - 1.
    std::uint32_t Length() const;
    bool IsEmpty() const override;
    // The number base of ToUInt32 and ToUInt64: 10 unless set or copied from another string.
    int Radix() const { return radix; }
    void SetRadix(int base) { radix = base; }

    // Same characters (the radix is not compared).
    bool operator==(const MStringEx& other) const { return this->Equals(other); }
    bool operator!=(const MStringEx& other) const { return this->NotEquals(other); }
    // Same characters ignoring case, and the same radix.
    bool EqualsNoCase(const MStringEx& other) const;
    // False for an empty prefix or one longer than the text.
    bool StartsWithNoCase(const MStringEx& prefix) const;
    // Position of the first occurrence of sub (case-sensitive), or -1. -1 in an empty text and
    // for a sub longer than the text; 0 for an empty sub in a non-empty text.
    int Find(const MStringEx& sub) const;
    // Position of the first ch at or after `from`, ignoring case, or -1. `from` past Length()
    // raises MAtomException (1, 0).
    int FindCharNoCase(T ch, std::uint32_t from) const;
    // Wide only. The text read as wcstoul reads it in base Radix(); never throws.
    unsigned long ToUInt32() const;
    // The text as an unsigned number in base Radix() (2, 8, 10 or 16; no sign, no white space).
    // An empty text is 0. Never throws: a character that is not a digit or another radix gives
    // false and 0; a value beyond 2^64 - 1 gives false and all bits set.
    bool ToUInt64(std::uint64_t& result) const;

    // The empty string, radix 10.
    void Clear() override;
    void Append(const MStringEx& other);
    // Wide only. Remove the white space (U+0009-U+000D, U+0020, U+0085, U+00A0, U+1680, U+180E,
    // U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) at the start, the end, or both.
    void TrimLeft();
    void TrimRight();
    void Trim();
    // Remove repetitions of ch at the start, the end, or both.
    void TrimLeft(T ch);
    void TrimRight(T ch);
    void Trim(T ch);
    // Every backslash becomes a slash.
    void ReplaceBackslashes();
    // Inserts the separator between groups of three characters counted from the right; texts of
    // three characters or fewer stay as they are.
    void GroupDigits(const MStringEx& separator);

    // New strings (radix 10). Left and Right take at most Length() characters; Mid from a start
    // at or past the end is empty.
    MStringEx Left(std::uint32_t n) const;
    MStringEx Right(std::uint32_t n) const;
    MStringEx Mid(std::uint32_t start) const;
    // The characters before the first ch; the whole text when there is none.
    MStringEx LeftOfChar(T ch) const;
    // The characters after the last "."; empty when there is no ".".
    MStringEx Extension() const;
    // Wide only. The UTF-8 form; its count includes one terminating null byte.
    MStringEx<char> ToUtf8() const;

private:
    static MStringEx FormatValues(const wchar_t* format, ...);

    struct LengthTag {};
    MStringEx(LengthTag, std::uint32_t length);
    MStringEx(const T* elements, std::uint32_t n, bool stopAtNull);

    MStringEx Substring(std::uint32_t start, std::uint32_t n) const;
    // Keeps [start, end) of the text; any removal leaves radix 10.
    void KeepRange(std::uint32_t start, std::uint32_t end);
    template <typename Predicate> void TrimWhere(Predicate matches, bool left, bool right);

    int radix;
};

// The left text followed by the right text; a null C string counts as empty.
template <typename T> MStringEx<T> operator+(const MStringEx<T>& left, const MStringEx<T>& right);
template <typename T> MStringEx<T> operator+(const MStringEx<T>& left, const T* right);
template <typename T> MStringEx<T> operator+(const T* left, const MStringEx<T>& right);

template <> MStringEx<wchar_t> MStringEx<wchar_t>::FormatValues(const wchar_t* format, ...);
template <> MStringEx<wchar_t> MStringEx<wchar_t>::FromWin32Error(DWORD code);
template <> MStringEx<wchar_t> MStringEx<wchar_t>::FromLastError();
template <> MStringEx<wchar_t> MStringEx<wchar_t>::FromUInt64(std::uint64_t value);
template <> unsigned long MStringEx<wchar_t>::ToUInt32() const;
template <> void MStringEx<wchar_t>::TrimLeft();
template <> void MStringEx<wchar_t>::TrimRight();
template <> void MStringEx<wchar_t>::Trim();
template <> MStringEx<char> MStringEx<wchar_t>::ToUtf8() const;

inline const wchar_t* FormatArgument(const MStringEx<wchar_t>& text)
{
    return text.Data();
}

extern template class MStringEx<wchar_t>;
extern template class MStringEx<char>;

#endif
