// Adds a certificate to, or removes it from, the LocalMachine "Root" store of the Wine prefix it
// runs in, so that WinINet there trusts the servers whose chain ends in it. A tool of the HTTPS
// tests; it changes only the prefix's own store, never the machine's.
//
// Usage: trust_certificate.exe add|remove FILE
//   FILE holds one certificate, DER or PEM ("-----BEGIN CERTIFICATE-----").
//   remove succeeds when the store does not hold the certificate.
// Exit code 0 on success, 1 with a message on failure, 2 for a wrong command line.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/TextUtil.h"
#include "tests/support/Win32Holders.h"

namespace {

using kdm_test::CertificateHolder;
using kdm_test::CertificateStoreHolder;
using kdm_test::ToUtf8;
using kdm_test::Win32ErrorText;

int Fail(const std::string& what, DWORD error)
{
    std::fprintf(stderr, "trust_certificate: %s: %s\n", what.c_str(),
                 Win32ErrorText(error).c_str());
    return 1;
}

// The DER bytes of a DER or PEM file's content; false when PEM text does not decode.
bool DecodeCertificate(const std::string& content, std::vector<BYTE>& der)
{
    if (content.find("-----BEGIN") == std::string::npos) {
        der.assign(content.begin(), content.end());
        return true;
    }
    DWORD size = 0;
    if (!CryptStringToBinaryA(content.data(), static_cast<DWORD>(content.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return false;
    }
    der.resize(size);
    return CryptStringToBinaryA(content.data(), static_cast<DWORD>(content.size()),
                                CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                                nullptr) != FALSE;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring action = argc == 3 ? argv[1] : L"";
    if (action != L"add" && action != L"remove") {
        std::fprintf(stderr, "usage: trust_certificate.exe add|remove FILE\n");
        return 2;
    }
    const std::wstring path = argv[2];
    const std::string content = kdm_test::ReadFileBytes(path);
    std::vector<BYTE> der;
    if (content == "<no file>" || content.empty() || !DecodeCertificate(content, der)) {
        std::fprintf(stderr, "trust_certificate: %s is not a readable DER or PEM certificate\n",
                     ToUtf8(path).c_str());
        return 1;
    }
    const CertificateStoreHolder store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (store.Get() == nullptr) {
        return Fail("cannot open the LocalMachine Root store", GetLastError());
    }
    if (action == L"add") {
        if (!CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
            return Fail("cannot add " + ToUtf8(path) + " to the Root store", GetLastError());
        }
        return 0;
    }
    const CertificateHolder certificate(CertCreateCertificateContext(
        X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    if (certificate.Get() == nullptr) {
        return Fail(ToUtf8(path) + " holds no certificate", GetLastError());
    }
    CertificateHolder found(CertFindCertificateInStore(
        store.Get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate.Get(), nullptr));
    if (found.Get() == nullptr) {
        return 0;
    }
    // CertDeleteCertificateFromStore frees the context it is given, whatever its result.
    if (!CertDeleteCertificateFromStore(found.Detach())) {
        return Fail("cannot remove " + ToUtf8(path) + " from the Root store", GetLastError());
    }
    return 0;
}
