#include <cstring>

#include "crypt/Crypt.h"
#include "foundation/Handles.h"
#include "foundation/Units.h"

namespace {

// The largest read of HashFile, and with it the size of its one buffer.
const std::uint32_t kMaxBlockBytes = 0x100000;

[[noreturn]] void ThrowSystemError(DWORD error)
{
    throw MCryptException(MCryptException::SystemCallFailed, error);
}

// A hash object of CryptCreateHash; 0 is none.
struct HashRelease {
    using Handle = HCRYPTHASH;
    static bool IsEmpty(HCRYPTHASH hash) { return hash == 0; }
    static HCRYPTHASH Empty() { return 0; }
    static BOOL Free(HCRYPTHASH hash) { return CryptDestroyHash(hash); }
};
using HashGuard = ScopedRelease<HashRelease>;

void MoveFilePointer(HANDLE file, LARGE_INTEGER position, DWORD method)
{
    if (!SetFilePointerEx(file, position, nullptr, method)) {
        ThrowSystemError(GetLastError());
    }
}

// The digest of the file from its start into `value`, or false when the observer stopped the
// computation. Leaves the file pointer wherever the reads left it.
bool HashFromStart(HCRYPTPROV provider, ALG_ID algorithm, HANDLE file, MObserver& observer,
                   MemoryPH<unsigned char>& value)
{
    MoveFilePointer(file, LARGE_INTEGER{}, FILE_BEGIN);
    HCRYPTHASH created = 0;
    if (!CryptCreateHash(provider, algorithm, 0, 0, &created)) {
        ThrowSystemError(GetLastError());
    }
    const HashGuard hash(created);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        ThrowSystemError(GetLastError());
    }
    const std::uint64_t total = static_cast<std::uint64_t>(size.QuadPart);
    const std::uint32_t blockBytes =
        total < kMaxBlockBytes ? static_cast<std::uint32_t>(total) : kMaxBlockBytes;
    MemoryPH<unsigned char> buffer(blockBytes);

    const std::uint64_t lastByte = ~std::uint64_t{0};
    std::uint64_t done = 0;
    do {
        const DWORD length =
            static_cast<DWORD>(lastByte - done < blockBytes ? lastByte - done : blockBytes);
        observer.WaitWhilePaused();
        if (!observer.Notify(done, total, length)) {
            return false;
        }
        DWORD read = 0;
        if (!ReadFile(file, buffer.Data(), length, &read, nullptr)) {
            ThrowSystemError(GetLastError());
        }
        if (read == 0) {
            break;
        }
        if (!CryptHashData(hash.Get(), buffer.Data(), read, 0)) {
            ThrowSystemError(GetLastError());
        }
        done += read;
    } while (done < lastByte);

    DWORD hashSize = 0;
    DWORD hashSizeBytes = sizeof(hashSize);
    if (!CryptGetHashParam(hash.Get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize),
                           &hashSizeBytes, 0)) {
        ThrowSystemError(GetLastError());
    }
    value.Reallocate(hashSize);
    DWORD valueBytes = value.ByteSize();
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, value.Data(), &valueBytes, 0)) {
        ThrowSystemError(GetLastError());
    }
    value.Truncate(valueBytes);
    return true;
}

} // namespace

bool MAAuthenticator::HashFile(HANDLE file, MemoryPH<unsigned char>& digest, MObserver& observer)
{
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, LARGE_INTEGER{}, &start, FILE_CURRENT)) {
        ThrowSystemError(GetLastError());
    }
    try {
        MemoryPH<unsigned char> value;
        const bool complete = HashFromStart(provider, hashAlgorithm.AlgId(), file, observer, value);
        MoveFilePointer(file, start, FILE_BEGIN);
        if (complete) {
            Exchange(digest, value);
        } else {
            digest.Reallocate(0);
        }
        return complete;
    } catch (...) {
        // Whatever failed, the caller goes on reading or writing where it was; a failure to get
        // back there is not allowed to hide the first one.
        SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
        throw;
    }
}

MemoryPH<unsigned char> DecodeHashCode(const MAtom<unsigned char>& headerValue)
{
    MemoryPH<unsigned char> bytes(headerValue);
    const MStringEx<wchar_t> text(WideView(bytes), true);
    const MStringEx<char> utf8 = text.ToUtf8();
    MemoryPH<unsigned char> digits(utf8.Length());
    if (utf8.Length() != 0) {
        std::memcpy(digits.Data(), utf8.Data(), utf8.Length());
    }
    DecodeHex(digits);
    return digits;
}
