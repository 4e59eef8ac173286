// Key containers of the crypt tests and what the tests read from them.
#ifndef KDM_TESTS_CRYPT_TESTCONTAINER_H
#define KDM_TESTS_CRYPT_TESTCONTAINER_H

#include <string>
#include <vector>

#include <windows.h>
#include <sddl.h>
#include <wincrypt.h>

#include "crypt/Crypt.h"

// A container name in the machine keyset that no other test and no other run uses. The container,
// if any test made one under this name, is deleted at the end of the test.
class TestContainer {
public:
    TestContainer()
    {
        static unsigned sequence = 0;
        name = L"Kestrune crypt test " + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++sequence);
    }
    ~TestContainer()
    {
        HCRYPTPROV none = 0;
        CryptAcquireContextW(&none, name.c_str(), kEnhancedProviderName, PROV_RSA_FULL,
                             CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET);
    }
    TestContainer(const TestContainer&) = delete;
    TestContainer& operator=(const TestContainer&) = delete;

    const wchar_t* Name() const { return name.c_str(); }

    bool Exists() const
    {
        HCRYPTPROV provider = 0;
        if (!Open(provider)) {
            return false;
        }
        CryptReleaseContext(provider, 0);
        return true;
    }

    // Creates the container the plain way, with the provider's default access list.
    bool CreateWithoutAccessList() const
    {
        HCRYPTPROV provider = 0;
        if (!CryptAcquireContextW(&provider, name.c_str(), kEnhancedProviderName, PROV_RSA_FULL,
                                  CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET)) {
            return false;
        }
        CryptReleaseContext(provider, 0);
        return true;
    }

    // The container's access list as the provider reports it (PP_KEYSET_SEC_DESCR), in the
    // security descriptor string format; empty when it cannot be read.
    std::wstring AccessList() const
    {
        std::wstring result;
        HCRYPTPROV provider = 0;
        if (!Open(provider)) {
            return result;
        }
        DWORD size = 0;
        if (CryptGetProvParam(provider, PP_KEYSET_SEC_DESCR, nullptr, &size,
                              DACL_SECURITY_INFORMATION)) {
            std::vector<BYTE> descriptor(size);
            wchar_t* text = nullptr;
            if (CryptGetProvParam(provider, PP_KEYSET_SEC_DESCR, descriptor.data(), &size,
                                  DACL_SECURITY_INFORMATION) &&
                ConvertSecurityDescriptorToStringSecurityDescriptorW(
                    descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                    nullptr)) {
                result = text;
                LocalFree(text);
            }
        }
        CryptReleaseContext(provider, 0);
        return result;
    }

private:
    bool Open(HCRYPTPROV& provider) const
    {
        return CryptAcquireContextW(&provider, name.c_str(), kEnhancedProviderName, PROV_RSA_FULL,
                                    CRYPT_MACHINE_KEYSET) != FALSE;
    }

    std::wstring name;
};

// KP_KEYLEN of the key, or 0 when it cannot be read.
inline DWORD KeyBits(HCRYPTKEY key)
{
    DWORD bits = 0;
    DWORD size = sizeof(bits);
    if (!CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0)) {
        return 0;
    }
    return bits;
}

// The public key blob of a new RSA key of `bits`, made in a temporary context that stores nothing.
// Empty when the provider refuses.
inline MemoryPH<unsigned char> PublicKeyBlob(DWORD bits)
{
    MemoryPH<unsigned char> blob;
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, kEnhancedProviderName, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT)) {
        return blob;
    }
    HCRYPTKEY key = 0;
    if (CryptGenKey(provider, AT_SIGNATURE, (bits << 16) | CRYPT_EXPORTABLE, &key)) {
        DWORD size = 0;
        if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
            MemoryPH<unsigned char> exported(size);
            if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, exported.Data(), &size)) {
                exported.Truncate(size);
                Exchange(blob, exported);
            }
        }
        CryptDestroyKey(key);
    }
    CryptReleaseContext(provider, 0);
    return blob;
}

#endif
