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

void MoveFilePointer(HANDLE file, LARGE_INTEGER position, DWORD method)
{
    if (!SetFilePointerEx(file, position, nullptr, method)) {
        ThrowSystemError(GetLastError());
    }
}

// The most digests one pass computes.
const std::uint32_t kMaxDigests = 2;

// The digest of `hash` into `value`.
void ReadHashValue(HCRYPTHASH hash, MemoryPH<unsigned char>& value)
{
    DWORD hashSize = 0;
    DWORD hashSizeBytes = sizeof(hashSize);
    if (!CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize), &hashSizeBytes,
                           0)) {
        ThrowSystemError(GetLastError());
    }
    value.Reallocate(hashSize);
    DWORD valueBytes = value.ByteSize();
    if (!CryptGetHashParam(hash, HP_HASHVAL, value.Data(), &valueBytes, 0)) {
        ThrowSystemError(GetLastError());
    }
    value.Truncate(valueBytes);
}

// The digests of the file from its start into `values`, or false when the observer stopped the
// computation. Leaves the file pointer wherever the reads left it.
bool HashFromStart(HANDLE file, const FileDigest* digests, std::uint32_t count, MObserver& observer,
                   MemoryPH<unsigned char>* values)
{
    MoveFilePointer(file, LARGE_INTEGER{}, FILE_BEGIN);
    CryptHashGuard hashes[kMaxDigests];
    for (std::uint32_t i = 0; i < count; ++i) {
        HCRYPTHASH created = 0;
        if (!CryptCreateHash(digests[i].provider, digests[i].algorithm, 0, 0, &created)) {
            ThrowSystemError(GetLastError());
        }
        hashes[i].Reset(created);
    }
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
        for (std::uint32_t i = 0; i < count; ++i) {
            if (!CryptHashData(hashes[i].Get(), buffer.Data(), read, 0)) {
                ThrowSystemError(GetLastError());
            }
        }
        done += read;
    } while (done < lastByte);

    for (std::uint32_t i = 0; i < count; ++i) {
        ReadHashValue(hashes[i].Get(), values[i]);
    }
    return true;
}

} // namespace

bool HashFileDigests(HANDLE file, FileDigest* digests, std::uint32_t count, MObserver& observer)
{
    if (count == 0 || count > kMaxDigests) {
        throw MCryptException(MCryptException::SystemCallFailed, ERROR_INVALID_PARAMETER);
    }
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, LARGE_INTEGER{}, &start, FILE_CURRENT)) {
        ThrowSystemError(GetLastError());
    }
    try {
        MemoryPH<unsigned char> values[kMaxDigests];
        const bool complete = HashFromStart(file, digests, count, observer, values);
        MoveFilePointer(file, start, FILE_BEGIN);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (complete) {
                Exchange(digests[i].value, values[i]);
            } else {
                digests[i].value.Reallocate(0);
            }
        }
        return complete;
    } catch (...) {
        // Whatever failed, the caller goes on reading or writing where it was; a failure to get
        // back there is not allowed to hide the first one.
        SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
        throw;
    }
}

bool MAAuthenticator::HashFile(HANDLE file, MemoryPH<unsigned char>& digest, MObserver& observer)
{
    FileDigest sha{provider, hashAlgorithm.AlgId(), MemoryPH<unsigned char>()};
    const bool complete = HashFileDigests(file, &sha, 1, observer);
    Exchange(digest, sha.value);
    return complete;
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
