#include "crypt/Crypt.h"

#include "foundation/Handles.h"
#include "foundation/Units.h"

const wchar_t kEnhancedProviderName[] = L"Microsoft Enhanced Cryptographic Provider v1.0";

namespace {

struct AlgorithmName {
    ALG_ID algId;
    const wchar_t* name;
};

const AlgorithmName kAlgorithmNames[] = {
    {CALG_MD2, L"MD2"},        {CALG_MD4, L"MD4"},        {CALG_MD5, L"MD5"},
    {CALG_SHA1, L"SHA-1"},     {kAlgSha256, L"SHA2-256"}, {kAlgSha384, L"SHA2-384"},
    {kAlgSha512, L"SHA2-512"},
};

const ALG_ID kSupportedOrder[] = {
    kAlgSha512, kAlgSha384, kAlgSha256, CALG_SHA1, CALG_MD2, CALG_MD4, CALG_MD5,
};

} // namespace

bool SetAuthenticatedUsersAccess(HCRYPTPROV provider)
{
    try {
        SECURITY_DESCRIPTOR descriptor{};
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
            return false;
        }
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        PSID allocated = nullptr;
        if (!AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0, 0,
                                      0, 0, 0, &allocated)) {
            return false;
        }
        const SidGuard users(allocated);
        // Room for the list header and one access-allowed entry, whose last member is the
        // first word of the SID.
        const DWORD aclSize = UnitNarrow(static_cast<std::uint64_t>(GetLengthSid(users.Get())) +
                                         sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD));
        MMemoryPH<ACL, HEAP_ZERO_MEMORY> acl(aclSize);
        if (!InitializeAcl(acl.Data(), aclSize, ACL_REVISION)) {
            return false;
        }
        if (!AddAccessAllowedAce(acl.Data(), ACL_REVISION,
                                 GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, users.Get())) {
            return false;
        }
        if (!SetSecurityDescriptorDacl(&descriptor, TRUE, acl.Data(), FALSE)) {
            return false;
        }
        return CryptSetProvParam(provider, PP_KEYSET_SEC_DESCR,
                                 reinterpret_cast<const BYTE*>(&descriptor),
                                 DACL_SECURITY_INFORMATION) != FALSE;
    } catch (...) {
        // The access list is a courtesy to other users of the machine: an exhausted heap while
        // building it must not cost the caller the container.
        return false;
    }
}

HCRYPTPROV AcquireMachineContext(const MStringEx<wchar_t>& containerName, DWORD providerType)
{
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextW(&provider, containerName.Data(), kEnhancedProviderName, providerType,
                             CRYPT_MACHINE_KEYSET)) {
        return provider;
    }
    // Only a missing container is created; any other failure (a damaged container, a refused
    // access) is not repaired by creating another one.
    if (GetLastError() != static_cast<DWORD>(NTE_BAD_KEYSET)) {
        return 0;
    }
    if (!CryptAcquireContextW(&provider, containerName.Data(), kEnhancedProviderName, providerType,
                              CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET)) {
        return 0;
    }
    // A container of the machine keyset is otherwise usable only by its creator; the next
    // verification may run under another account.
    SetAuthenticatedUsersAccess(provider);
    return provider;
}

std::unique_ptr<MCryptBase::HashAlgId> MCryptBase::HashAlgId::Clone() const
{
    return std::unique_ptr<HashAlgId>(new HashAlgId(*this));
}

MStringEx<wchar_t> MCryptBase::HashAlgId::Name() const
{
    return MStringEx<wchar_t>();
}

std::unique_ptr<MCryptBase::HashAlgList> MCryptBase::HashAlgId::SupportedAlgorithms() const
{
    return std::unique_ptr<HashAlgList>(new HashAlgList());
}

bool MCryptBase::KeyLengthBase::Accepts(std::uint32_t value) const
{
    return value >= MinBits() && value <= MaxBits() && value % StepBits() == 0;
}

void MCryptBase::KeyLengthBase::SetBits(std::uint32_t value)
{
    if (!Accepts(value)) {
        throw MCryptException(MCryptException::BadKeyLength, 0);
    }
    bits = static_cast<std::uint16_t>(value);
}

void MCryptBase::KeyLengthBase::NextLength()
{
    SetBits(static_cast<std::uint32_t>(bits) + StepBits());
}

MCryptBase::MCryptBase(const MStringEx<wchar_t>& containerName)
    : provider(0), providerType(PROV_RSA_FULL)
{
    provider = AcquireMachineContext(containerName, providerType);
    if (provider == 0) {
        throw MCryptException(MCryptException::NoContainer, 0);
    }
}

MCryptBase::~MCryptBase()
{
    if (provider != 0) {
        CryptReleaseContext(provider, 0);
    }
}

MAsymmetric::MAsymmetric(const MStringEx<wchar_t>& containerName, const KeyLength& keyLength)
    : MCryptBase(containerName), key(0), keyLength(keyLength)
{
    // A throw here runs ~MCryptBase, which releases the container.
    ReplaceSignatureKey();
}

MAsymmetric::~MAsymmetric()
{
    DestroyKey();
}

void MAsymmetric::DestroyKey()
{
    if (key != 0) {
        CryptDestroyKey(key);
        key = 0;
    }
}

void MAsymmetric::ReplaceSignatureKey()
{
    DestroyKey();
    // CryptGenKey takes the key length in bits in the upper 16 bits of its flags.
    const DWORD flags =
        (static_cast<DWORD>(keyLength.Bits()) << 16) | CRYPT_EXPORTABLE | CRYPT_NO_SALT;
    HCRYPTKEY generated = 0;
    if (!CryptGenKey(provider, AT_SIGNATURE, flags, &generated)) {
        const DWORD error = GetLastError();
        throw MCryptException(MCryptException::SystemCallFailed, error);
    }
    key = generated;
}

void MAsymmetric::ImportKey(const MemoryPH<unsigned char>& keyBlob)
{
    ImportKeyBytes(keyBlob.Data(), keyBlob.ByteSize());
}

void MAsymmetric::ImportKey(const ShellMemory<unsigned char>& keyBlob)
{
    ImportKeyBytes(keyBlob.Data(), keyBlob.ByteSize());
}

void MAsymmetric::ImportKeyBytes(const BYTE* blob, DWORD size)
{
    DestroyKey();
    HCRYPTKEY imported = 0;
    if (!CryptImportKey(provider, blob, size, 0, 0, &imported)) {
        const DWORD error = GetLastError();
        throw MCryptException(MCryptException::SystemCallFailed, error);
    }
    key = imported;
    DWORD bits = 0;
    DWORD bitsSize = sizeof(bits);
    if (!CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &bitsSize, 0)) {
        const DWORD error = GetLastError();
        DestroyKey();
        throw MCryptException(MCryptException::SystemCallFailed, error);
    }
    if (!keyLength.Accepts(bits)) {
        DestroyKey();
        throw MCryptException(MCryptException::BadKeyLength, 0);
    }
    keyLength.SetBits(bits);
}

std::unique_ptr<MCryptBase::HashAlgId> MAAuthenticator::MAAuthAlgHash::Clone() const
{
    return std::unique_ptr<HashAlgId>(new MAAuthAlgHash(*this));
}

MStringEx<wchar_t> MAAuthenticator::MAAuthAlgHash::Name() const
{
    for (const AlgorithmName& entry : kAlgorithmNames) {
        if (entry.algId == algId) {
            return MStringEx<wchar_t>(entry.name);
        }
    }
    throw MCryptException(MCryptException::UnknownAlgorithm, 0);
}

std::unique_ptr<MCryptBase::HashAlgList> MAAuthenticator::MAAuthAlgHash::SupportedAlgorithms() const
{
    std::unique_ptr<HashAlgList> list(new HashAlgList());
    for (const ALG_ID id : kSupportedOrder) {
        std::unique_ptr<HashAlgId> algorithm(new MAAuthAlgHash(id));
        const MSmartPtr<HashAlgId>* const holder = new MSmartPtr<HashAlgId>(algorithm.get());
        algorithm.release();
        // Add owns the holder from here on, also when it fails.
        list->Add(holder);
    }
    return list;
}

MAAuthenticator::MAAuthenticator(const MStringEx<wchar_t>& containerName,
                                 const KeyLength& keyLength, const MAAuthAlgHash& hashAlgorithm,
                                 const MAAuthAlgFlags& algorithmFlags)
    : MAsymmetric(containerName, keyLength), hashAlgorithm(hashAlgorithm),
      algorithmFlags(algorithmFlags)
{
}

void MAAuthenticator::SetKeyLength(const KeyLength& length)
{
    keyLength = length;
    ReplaceSignatureKey();
}

void MAAuthenticator::GenerateKey()
{
    ReplaceSignatureKey();
}

MAAuthenticator::MAAuthAlgFlags MAAuthenticator::SetFlags(const AlgFlags& flags)
{
    algorithmFlags = MAAuthAlgFlags(flags.Flags());
    return algorithmFlags;
}
