#include "foundation/Memory.h"

void* AllocateHeapBlock(HANDLE heap, DWORD flags, std::uint64_t bytes)
{
    void* const block = HeapAlloc(heap, flags & ~static_cast<DWORD>(HEAP_GENERATE_EXCEPTIONS),
                                  UnitNarrow<SIZE_T>(bytes));
    if (block == nullptr) {
        throw MAtomException(MAtomException::HeapExhausted, 8);
    }
    return block;
}

void FreeHeapBlock(HANDLE heap, void* block)
{
    if (block != nullptr) {
        HeapFree(heap, 0, block);
    }
}

ShellMemory<unsigned char> ByteView(MAtom<wchar_t>& wide)
{
    const std::uint32_t bytes =
        UnitNarrow<std::uint32_t>(static_cast<std::uint64_t>(wide.Count()) * sizeof(wchar_t));
    return ShellMemory<unsigned char>(bytes, reinterpret_cast<unsigned char*>(wide.Data()));
}

ShellMemory<wchar_t> WideView(MAtom<unsigned char>& bytes)
{
    const std::uint32_t characters = UnitDivideExact(bytes.Count(), sizeof(wchar_t));
    return ShellMemory<wchar_t>(characters, reinterpret_cast<wchar_t*>(bytes.Data()));
}

namespace {

unsigned char HexDigitValue(unsigned char digit)
{
    if (digit >= '0' && digit <= '9') {
        return static_cast<unsigned char>(digit - '0');
    }
    if (digit >= 'A' && digit <= 'F') {
        return static_cast<unsigned char>(digit - 'A' + 10);
    }
    throw MAtomException(MAtomException::InvalidData, ERROR_INVALID_DATA);
}

} // namespace

void DecodeHex(MAtom<unsigned char>& text)
{
    const std::uint32_t count = text.Count();
    if (count % 2 != 0) {
        throw MAtomException(MAtomException::InvalidForBuffer, 0);
    }
    for (std::uint32_t i = 0; i < count; i += 2) {
        const unsigned char high = HexDigitValue(text[i]);
        const unsigned char low = HexDigitValue(text[i + 1]);
        text[i / 2] = static_cast<unsigned char>(high * 16 + low);
    }
    text.Truncate(UnitDivideExact(count, 2));
}

namespace {

// The value of a base64 digit, or -1 for any other character.
int Base64DigitValue(wchar_t c)
{
    if (c >= L'A' && c <= L'Z') {
        return c - L'A';
    }
    if (c >= L'a' && c <= L'z') {
        return c - L'a' + 26;
    }
    if (c >= L'0' && c <= L'9') {
        return c - L'0' + 52;
    }
    if (c == L'+') {
        return 62;
    }
    return c == L'/' ? 63 : -1;
}

} // namespace

bool DecodeBase64(const MAtom<wchar_t>& text, MemoryPH<unsigned char>& bytes)
{
    std::uint32_t length = 0;
    while (length < text.Count() && text[length] != L'\0') {
        ++length;
    }
    std::uint32_t padding = 0;
    while (padding < 2 && padding < length && text[length - 1 - padding] == L'=') {
        ++padding;
    }
    bytes.Reallocate(0);
    if (length % 4 != 0) {
        return false;
    }
    MemoryPH<unsigned char> decoded(length / 4 * 3);
    std::uint32_t written = 0;
    std::uint32_t bits = 0;
    int pending = 0;
    for (std::uint32_t i = 0; i < length - padding; ++i) {
        const int value = Base64DigitValue(text[i]);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            decoded[written++] = static_cast<unsigned char>(bits >> pending);
        }
    }
    decoded.Truncate(written);
    Exchange(bytes, decoded);
    return true;
}
