#include "foundation/StringEx.h"

#include <cstdio>
#include <cwchar>
#include <limits>

// Formatting calls msvcrt's _vscwprintf and vswprintf_s directly: they keep the Microsoft rules
// (%s takes wide text in a wide format, %I64u) even where the C++ runtime switches the standard
// printf family to other rules.

DWORD messageLanguage = 0;

namespace {

const int kDefaultRadix = 10;

template <typename T> T FoldUpper(T ch)
{
    return ch >= T('a') && ch <= T('z') ? static_cast<T>(ch - T('a') + T('A')) : ch;
}

template <typename T> bool SameNoCase(T a, T b)
{
    return FoldUpper(a) == FoldUpper(b);
}

template <typename T> std::uint32_t TextLength(const T* text)
{
    std::uint32_t length = 0;
    while (text[length] != T(0)) {
        length = UnitIncrement(length);
    }
    return length;
}

bool IsWhiteSpace(wchar_t ch)
{
    return (ch >= 0x0009 && ch <= 0x000D) || ch == 0x0020 || ch == 0x0085 || ch == 0x00A0 ||
           ch == 0x1680 || ch == 0x180E || (ch >= 0x2000 && ch <= 0x200A) || ch == 0x2028 ||
           ch == 0x2029 || ch == 0x202F || ch == 0x205F || ch == 0x3000;
}

// Value of a digit in radix 2, 8, 10 or 16, or -1 when ch is not one of its digits.
template <typename T> int DigitValue(T ch, int radix)
{
    int value = -1;
    if (ch >= T('0') && ch <= T('9')) {
        value = static_cast<int>(ch - T('0'));
    } else if (ch >= T('A') && ch <= T('F')) {
        value = static_cast<int>(ch - T('A')) + 10;
    } else if (ch >= T('a') && ch <= T('f')) {
        value = static_cast<int>(ch - T('a')) + 10;
    }
    return value < radix ? value : -1;
}

} // namespace

template <typename T> MStringEx<T>::MStringEx() : MStringEx(LengthTag(), 0) {}

template <typename T>
MStringEx<T>::MStringEx(const T* text)
    : MStringEx(text, text == nullptr ? 0 : TextLength(text), false)
{
}

template <typename T>
MStringEx<T>::MStringEx(const MStringEx& other)
    : MemoryPH<T>(static_cast<const MAtom<T>&>(other)), radix(other.radix)
{
}

template <typename T>
MStringEx<T>::MStringEx(const MMemory<T>& block)
    : MStringEx(block.Data(), typename MMemory<T>::MemUnits(block).Units(), true)
{
}

template <typename T>
MStringEx<T>::MStringEx(const MAtom<T>& elements, bool stopAtNull)
    : MStringEx(elements.Data(), elements.Count(), stopAtNull)
{
}

template <typename T>
MStringEx<T>::MStringEx(LengthTag, std::uint32_t length)
    : MemoryPH<T>(UnitIncrement(length)), radix(kDefaultRadix)
{
    this->data[0] = T(0);
    this->data[length] = T(0);
}

template <typename T>
MStringEx<T>::MStringEx(const T* elements, std::uint32_t n, bool stopAtNull)
    : MStringEx(LengthTag(), 0)
{
    if (n != 0 && elements == nullptr) {
        throw MAtomException(MAtomException::NullBlock, 0);
    }
    std::uint32_t length = 0;
    while (length < n && !(stopAtNull && elements[length] == T(0))) {
        ++length;
    }
    if (length != 0) {
        MStringEx text(LengthTag(), length);
        std::memcpy(text.data, elements, length * sizeof(T));
        Exchange(*this, text);
    }
}

template <typename T> MStringEx<T> MStringEx<T>::WithLength(std::uint32_t length)
{
    return MStringEx(LengthTag(), length);
}

template <typename T> MStringEx<T>& MStringEx<T>::operator=(const MStringEx& other)
{
    if (this->count != other.count) {
        this->Reallocate(other.count);
    }
    this->CopyFrom(other);
    radix = other.radix;
    return *this;
}

template <typename T> MStringEx<T>& MStringEx<T>::operator=(const T* text)
{
    MStringEx copy(text);
    Exchange(*this, copy);
    return *this;
}

template <typename T> std::uint32_t MStringEx<T>::Length() const
{
    return UnitSubtract(this->count, 1);
}

template <typename T> bool MStringEx<T>::IsEmpty() const
{
    return this->count == 1;
}

template <typename T> bool MStringEx<T>::EqualsNoCase(const MStringEx& other) const
{
    const std::uint32_t length = Length();
    if (length != other.Length()) {
        return false;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        if (!SameNoCase(this->data[i], other.data[i])) {
            return false;
        }
    }
    return radix == other.radix;
}

template <typename T> bool MStringEx<T>::StartsWithNoCase(const MStringEx& prefix) const
{
    const std::uint32_t length = prefix.Length();
    if (length == 0 || length > Length()) {
        return false;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        if (!SameNoCase(this->data[i], prefix.data[i])) {
            return false;
        }
    }
    return true;
}

template <typename T> int MStringEx<T>::Find(const MStringEx& sub) const
{
    const std::uint32_t length = Length();
    const std::uint32_t subLength = sub.Length();
    if (length == 0 || subLength > length) {
        return -1;
    }
    for (std::uint32_t start = 0; start <= length - subLength; ++start) {
        if (subLength == 0 ||
            std::memcmp(this->data + start, sub.data, subLength * sizeof(T)) == 0) {
            return UnitNarrow<int>(start);
        }
    }
    return -1;
}

template <typename T> int MStringEx<T>::FindCharNoCase(T ch, std::uint32_t from) const
{
    const std::uint32_t length = Length();
    if (from > length) {
        throw MAtomException(MAtomException::OutOfRange, 0);
    }
    for (std::uint32_t i = from; i < length; ++i) {
        if (SameNoCase(this->data[i], ch)) {
            return UnitNarrow<int>(i);
        }
    }
    return -1;
}

template <typename T> bool MStringEx<T>::ToUInt64(std::uint64_t& result) const
{
    const std::uint64_t all = std::numeric_limits<std::uint64_t>::max();
    result = 0;
    if (this->data == nullptr || this->count == 0) {
        return false;
    }
    if (radix != 2 && radix != 8 && radix != 10 && radix != 16) {
        return this->count == 1;
    }
    // Digits are read from the last to the first. Once the place value has passed 2^64 - 1,
    // only zeros may follow: any other digit stands for a value beyond the range.
    std::uint64_t place = 1;
    bool placeBeyondRange = false;
    for (std::uint32_t i = this->count - 1; i > 0; --i) {
        const int digit = DigitValue(this->data[i - 1], radix);
        if (digit < 0) {
            result = 0;
            return false;
        }
        if (digit != 0) {
            const std::uint64_t d = static_cast<std::uint64_t>(digit);
            if (placeBeyondRange || place > all / d || result > all - d * place) {
                result = all;
                return false;
            }
            result += d * place;
        }
        if (place > all / static_cast<std::uint64_t>(radix)) {
            placeBeyondRange = true;
        } else {
            place *= static_cast<std::uint64_t>(radix);
        }
    }
    return true;
}

template <typename T> void MStringEx<T>::Clear()
{
    if (!IsEmpty()) {
        MStringEx empty;
        Exchange(*this, empty);
    }
    radix = kDefaultRadix;
}

template <typename T> void MStringEx<T>::Append(const MStringEx& other)
{
    MStringEx joined = *this + other;
    Exchange(*this, joined);
}

template <typename T>
template <typename Predicate>
void MStringEx<T>::TrimWhere(Predicate matches, bool left, bool right)
{
    std::uint32_t start = 0;
    std::uint32_t end = Length();
    while (left && start < end && matches(this->data[start])) {
        ++start;
    }
    while (right && end > start && matches(this->data[end - 1])) {
        --end;
    }
    KeepRange(start, end);
}

template <typename T> void MStringEx<T>::TrimLeft(T ch)
{
    TrimWhere([ch](T c) { return c == ch; }, true, false);
}

template <typename T> void MStringEx<T>::TrimRight(T ch)
{
    TrimWhere([ch](T c) { return c == ch; }, false, true);
}

template <typename T> void MStringEx<T>::Trim(T ch)
{
    TrimWhere([ch](T c) { return c == ch; }, true, true);
}

template <typename T> void MStringEx<T>::ReplaceBackslashes()
{
    const std::uint32_t length = Length();
    for (std::uint32_t i = 0; i < length; ++i) {
        if (this->data[i] == T('\\')) {
            this->data[i] = T('/');
        }
    }
}

template <typename T> void MStringEx<T>::GroupDigits(const MStringEx& separator)
{
    const std::uint32_t length = Length();
    const std::uint32_t separatorLength = separator.Length();
    if (separatorLength == 0 || length <= 3) {
        return;
    }
    const std::uint32_t separators = (length - 1) / 3;
    MStringEx grouped =
        WithLength(UnitAdd(length, UnitNarrow<std::uint32_t>(
                                       static_cast<std::uint64_t>(separators) * separatorLength)));
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    std::uint32_t group = (length - 1) % 3 + 1;
    for (;;) {
        grouped.CopyRangeAdvance(to, true, *this, from, true, group);
        if (from == length) {
            break;
        }
        grouped.CopyRange(to, separator, 0, separatorLength);
        to += separatorLength;
        group = 3;
    }
    Exchange(*this, grouped);
}

template <typename T>
MStringEx<T> MStringEx<T>::Substring(std::uint32_t start, std::uint32_t n) const
{
    MStringEx part = WithLength(n);
    part.CopyRange(0, *this, start, n);
    return part;
}

template <typename T> void MStringEx<T>::KeepRange(std::uint32_t start, std::uint32_t end)
{
    if (start == 0 && end == Length()) {
        return;
    }
    MStringEx kept = Substring(start, end - start);
    Exchange(*this, kept);
    radix = kDefaultRadix;
}

template <typename T> MStringEx<T> MStringEx<T>::Left(std::uint32_t n) const
{
    return Substring(0, UnitMin(n, Length()));
}

template <typename T> MStringEx<T> MStringEx<T>::Right(std::uint32_t n) const
{
    const std::uint32_t length = Length();
    const std::uint32_t kept = UnitMin(n, length);
    return Substring(length - kept, kept);
}

template <typename T> MStringEx<T> MStringEx<T>::Mid(std::uint32_t start) const
{
    const std::uint32_t length = Length();
    return start < length ? Substring(start, length - start) : MStringEx();
}

template <typename T> MStringEx<T> MStringEx<T>::LeftOfChar(T ch) const
{
    const std::uint32_t length = Length();
    std::uint32_t end = 0;
    while (end < length && this->data[end] != ch) {
        ++end;
    }
    return Substring(0, end);
}

template <typename T> MStringEx<T> MStringEx<T>::Extension() const
{
    std::uint32_t start = Length();
    while (start > 0 && this->data[start - 1] != T('.')) {
        --start;
    }
    return start > 0 ? Mid(start) : MStringEx();
}

template <typename T> MStringEx<T> operator+(const MStringEx<T>& left, const MStringEx<T>& right)
{
    const std::uint32_t leftLength = left.Length();
    MStringEx<T> joined = MStringEx<T>::WithLength(UnitAdd(leftLength, right.Length()));
    joined.CopyRange(0, left, 0, leftLength);
    joined.CopyRange(leftLength, right, 0, right.Length());
    return joined;
}

template <typename T> MStringEx<T> operator+(const MStringEx<T>& left, const T* right)
{
    return left + MStringEx<T>(right);
}

template <typename T> MStringEx<T> operator+(const T* left, const MStringEx<T>& right)
{
    return MStringEx<T>(left) + right;
}

// Wide-only members.

template <> MStringEx<wchar_t> MStringEx<wchar_t>::FormatValues(const wchar_t* format, ...)
{
    if (format == nullptr) {
        return MStringEx();
    }
    va_list arguments;
    va_start(arguments, format);
    const int length = _vscwprintf(format, arguments);
    va_end(arguments);
    if (length < 0) {
        throw MAtomException(MAtomException::InvalidData, ERROR_INVALID_DATA);
    }
    MStringEx text = WithLength(static_cast<std::uint32_t>(length));
    // _vsnwprintf into the measured size plus the terminator, rather than vswprintf_s: the
    // msvcrt.dll of Windows XP has no vswprintf_s, and importing it would stop the program from
    // loading there. Both follow the Microsoft conventions (%s takes wide text).
    va_start(arguments, format);
    _vsnwprintf(text.data, text.count, format, arguments);
    va_end(arguments);
    return text;
}

template <> MStringEx<wchar_t> MStringEx<wchar_t>::FromWin32Error(DWORD code)
{
    const DWORD flags =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    wchar_t* buffer = nullptr;
    DWORD written = FormatMessageW(flags, nullptr, code, messageLanguage,
                                   reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (written == 0 && GetLastError() == ERROR_RESOURCE_LANG_NOT_FOUND) {
        written = FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                 nullptr);
    }
    if (written == 0) {
        return MStringEx(L"Unknown.");
    }
    MStringEx text;
    try {
        text = buffer;
    } catch (...) {
        LocalFree(buffer);
        throw;
    }
    LocalFree(buffer);
    text.Trim();
    return text;
}

template <> MStringEx<wchar_t> MStringEx<wchar_t>::FromLastError()
{
    return FromWin32Error(GetLastError());
}

template <> MStringEx<wchar_t> MStringEx<wchar_t>::FromUInt64(std::uint64_t value)
{
    MStringEx text = Format(L"%I64u", value);
    text.GroupDigits(L",");
    return text;
}

template <> unsigned long MStringEx<wchar_t>::ToUInt32() const
{
    return std::wcstoul(data, nullptr, radix);
}

template <> void MStringEx<wchar_t>::TrimLeft()
{
    TrimWhere(IsWhiteSpace, true, false);
}

template <> void MStringEx<wchar_t>::TrimRight()
{
    TrimWhere(IsWhiteSpace, false, true);
}

template <> void MStringEx<wchar_t>::Trim()
{
    TrimWhere(IsWhiteSpace, true, true);
}

template <> MStringEx<char> MStringEx<wchar_t>::ToUtf8() const
{
    // WideCharToMultiByte takes a signed 32-bit length: convert in slices of at most 2^29
    // characters (2^30 bytes), never splitting a surrogate pair.
    const auto sliceAt = [this](std::uint32_t pos) {
        const std::uint32_t maxSlice = 1u << 29;
        std::uint32_t slice = UnitMin(maxSlice, count - pos);
        if (slice < count - pos && data[pos + slice - 1] >= 0xD800 &&
            data[pos + slice - 1] <= 0xDBFF) {
            --slice;
        }
        return slice;
    };
    std::uint32_t bytes = 0;
    for (std::uint32_t pos = 0, slice = 0; pos < count; pos += slice) {
        slice = sliceAt(pos);
        const int measured = WideCharToMultiByte(CP_UTF8, 0, data + pos, UnitNarrow<int>(slice),
                                                 nullptr, 0, nullptr, nullptr);
        if (measured <= 0) {
            throw MAtomException(MAtomException::InvalidData, ERROR_INVALID_DATA);
        }
        bytes = UnitAdd(bytes, static_cast<std::uint32_t>(measured));
    }
    MStringEx<char> utf8 = MStringEx<char>::WithLength(UnitDecrement(bytes));
    std::uint32_t written = 0;
    for (std::uint32_t pos = 0, slice = 0; pos < count; pos += slice) {
        slice = sliceAt(pos);
        if (written >= utf8.Count()) {
            throw MAtomException(MAtomException::OutOfRange, 0);
        }
        const int converted = WideCharToMultiByte(
            CP_UTF8, 0, data + pos, UnitNarrow<int>(slice), utf8.Data() + written,
            UnitNarrow<int>(utf8.Count() - written), nullptr, nullptr);
        if (converted <= 0) {
            throw MAtomException(MAtomException::InvalidData, ERROR_INVALID_DATA);
        }
        written = UnitAdd(written, static_cast<std::uint32_t>(converted));
    }
    return utf8;
}

template class MStringEx<wchar_t>;
template class MStringEx<char>;
template MStringEx<wchar_t> operator+(const MStringEx<wchar_t>&, const MStringEx<wchar_t>&);
template MStringEx<wchar_t> operator+(const MStringEx<wchar_t>&, const wchar_t*);
template MStringEx<wchar_t> operator+(const wchar_t*, const MStringEx<wchar_t>&);
template MStringEx<char> operator+(const MStringEx<char>&, const MStringEx<char>&);
template MStringEx<char> operator+(const MStringEx<char>&, const char*);
template MStringEx<char> operator+(const char*, const MStringEx<char>&);
