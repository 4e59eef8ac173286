#include "crypt/Crypt.h"

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

// The build's blob of each throwaway key equals CryptoAPI's export of the same key (the runs of
// tests/e2e check signatures with it).
TEST(PackageKey, BlobFromPemIsWhatCryptoApiExportsForTheSameKey)
{
    const CryptProviderGuard provider = AcquireAesVerificationContext();
    for (const wchar_t* name : {L"maker-a", L"maker-b"}) {
        const std::wstring keys = std::wstring(L"package-keys\\") + name;
        const std::vector<BYTE> blob = Bytes(ReadFileBytes(BuildTreePath(keys + L".blob")));
        EXPECT_EQ(blob, ExportedPublicKey(provider.Get(),
                                          ReadFileBytes(BuildTreePath(keys + L".rsa.key"))));
        EXPECT_GT(blob.size(), 256u);
    }
}

} // namespace
