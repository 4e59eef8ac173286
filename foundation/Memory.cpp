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
