#include "crypt/Crypt.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/BuiltModule.h"
#include "tests/support/TextUtil.h"

namespace {

using kdm_test::BuildTreePath;
using kdm_test::ReadFileBytes;

std::vector<BYTE> Bytes(const std::string& text)
{
    return std::vector<BYTE>(text.begin(), text.end());
}

// What CryptoAPI itself exports as the public half of the PEM private key `pem`: the key decoded
// by crypt32, imported as a signature key and exported as a PUBLICKEYBLOB.
std::vector<BYTE> ExportedPublicKey(HCRYPTPROV provider, const std::string& pem)
{
    DWORD derBytes = 0;
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &derBytes, nullptr,
                         nullptr);
    std::vector<BYTE> der(derBytes);
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &derBytes, nullptr,
                         nullptr);
    DWORD blobBytes = 0;
    CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, der.data(), derBytes, 0, nullptr,
                        nullptr, &blobBytes);
    std::vector<BYTE> privateBlob(blobBytes);
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, der.data(), derBytes, 0,
                             nullptr, privateBlob.data(), &blobBytes)) {
        return {};
    }
    reinterpret_cast<BLOBHEADER*>(privateBlob.data())->aiKeyAlg = CALG_RSA_SIGN;
    HCRYPTKEY imported = 0;
    if (!CryptImportKey(provider, privateBlob.data(), blobBytes, 0, CRYPT_EXPORTABLE, &imported)) {
        return {};
    }
    const CryptKeyGuard key(imported);
    DWORD publicBytes = 0;
    CryptExportKey(key.Get(), 0, PUBLICKEYBLOB, 0, nullptr, &publicBytes);
    std::vector<BYTE> exported(publicBytes);
    CryptExportKey(key.Get(), 0, PUBLICKEYBLOB, 0, exported.data(), &publicBytes);
    return exported;
}

// The build's blob of each throwaway key equals CryptoAPI's export of the same key, and it
// verifies the signature that OpenSSL made with that key (byte order and digest included).
TEST(PackageKey, BlobFromPemIsWhatCryptoApiExportsAndVerifiesOpenSslSignatures)
{
    const CryptProviderGuard provider = AcquireAesVerificationContext();
    const std::string package =
        ReadFileBytes(BuildTreePath(L"tests\\signed-packages\\package.bin"));
    MemoryPH<unsigned char> sha256(32);
    HCRYPTHASH created = 0;
    ASSERT_TRUE(CryptCreateHash(provider.Get(), kAlgSha256, 0, 0, &created));
    const CryptHashGuard hash(created);
    ASSERT_TRUE(CryptHashData(hash.Get(), reinterpret_cast<const BYTE*>(package.data()),
                              static_cast<DWORD>(package.size()), 0));
    DWORD length = 32;
    ASSERT_TRUE(CryptGetHashParam(hash.Get(), HP_HASHVAL, sha256.Data(), &length, 0));

    for (const wchar_t* name : {L"maker-a", L"maker-b"}) {
        const std::wstring keys = std::wstring(L"package-keys\\") + name;
        const std::vector<BYTE> blob = Bytes(ReadFileBytes(BuildTreePath(keys + L".blob")));
        EXPECT_EQ(blob, ExportedPublicKey(provider.Get(),
                                          ReadFileBytes(BuildTreePath(keys + L".rsa.key"))));

        const std::string text = ReadFileBytes(
            BuildTreePath(L"tests\\signed-packages\\package." + std::wstring(name) + L".sig"));
        const std::wstring wide(text.begin(), text.end());
        MemoryPH<wchar_t> base64(static_cast<std::uint32_t>(wide.size()));
        std::copy(wide.begin(), wide.end(), base64.Data());
        MemoryPH<unsigned char> signature;
        ASSERT_TRUE(DecodeBase64(base64, signature));
        MemoryPH<unsigned char> keyBlob(static_cast<std::uint32_t>(blob.size()));
        std::copy(blob.begin(), blob.end(), keyBlob.Data());
        EXPECT_TRUE(IsSha256SignedBy(provider.Get(), sha256, signature, keyBlob));
        signature[7] ^= 1;
        EXPECT_FALSE(IsSha256SignedBy(provider.Get(), sha256, signature, keyBlob));
    }
}

} // namespace
