#include "crypt/Crypt.h"

const wchar_t kXpAesProviderName[] =
    L"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";

namespace {

// The length of a SHA-256 digest in bytes.
const std::uint32_t kSha256Bytes = 32;

} // namespace

CryptProviderGuard AcquireAesVerificationContext()
{
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return CryptProviderGuard(provider);
    }
    // Windows XP SP3 has the provider, but registers no default for its type.
    if (CryptAcquireContextW(&provider, nullptr, kXpAesProviderName, PROV_RSA_AES,
                             CRYPT_VERIFYCONTEXT)) {
        return CryptProviderGuard(provider);
    }
    throw MCryptException(MCryptException::SystemCallFailed, GetLastError());
}

bool IsSha256SignedBy(HCRYPTPROV provider, const MAtom<unsigned char>& sha256,
                      const MAtom<unsigned char>& signature,
                      const MAtom<unsigned char>& publicKeyBlob)
{
    if (sha256.Count() != kSha256Bytes || publicKeyBlob.Count() == 0) {
        return false;
    }
    HCRYPTKEY imported = 0;
    if (!CryptImportKey(provider, publicKeyBlob.Data(), publicKeyBlob.ByteSize(), 0, 0,
                        &imported)) {
        return false;
    }
    const CryptKeyGuard key(imported);
    DWORD bits = 0;
    DWORD bitsBytes = sizeof(bits);
    if (!CryptGetKeyParam(key.Get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &bitsBytes, 0) ||
        signature.Count() != (bits + 7) / 8) {
        return false;
    }
    HCRYPTHASH created = 0;
    if (!CryptCreateHash(provider, kAlgSha256, 0, 0, &created)) {
        return false;
    }
    const CryptHashGuard hash(created);
    if (!CryptSetHashParam(hash.Get(), HP_HASHVAL, sha256.Data(), 0)) {
        return false;
    }
    // CryptoAPI takes the signature as a little-endian number.
    const std::uint32_t count = signature.Count();
    MemoryPH<unsigned char> reversed(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        reversed[i] = signature[count - 1 - i];
    }
    return CryptVerifySignatureW(hash.Get(), reversed.Data(), reversed.ByteSize(), key.Get(),
                                 nullptr, 0) != FALSE;
}
