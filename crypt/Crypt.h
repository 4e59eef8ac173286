// The CryptoAPI class family and the integrity check of a downloaded file.
//
// MCryptBase opens a named key container in the machine keyset of the "Microsoft Enhanced
// Cryptographic Provider v1.0" (creating it when it does not exist), MAsymmetric adds an RSA
// signature key pair of a checked length, MAAuthenticator adds the hash algorithm and flags with
// which data is authenticated, and hashes files.
//
// How the download verifies a file (all of it on the worker thread):
//
//     MAAuthenticator authenticator(containerName);      // 512-bit key, SHA-1, flags 0
//     MemoryPH<unsigned char> digest;
//     if (!authenticator.HashFile(file, digest, observer)) { ...stopped by the observer... }
//     const MemoryPH<unsigned char> expected = DecodeHashCode(headerValue);
//     if (digest.NotEquals(expected)) { ...mismatch... }
//
// Every failure is an exception thrown by value: MCryptException from this family,
// MAtomException from DecodeHashCode and from the buffers, MUnitException from count arithmetic.
//
// Not synchronised: each object is used by one thread.
#ifndef KDM_CRYPT_CRYPT_H
#define KDM_CRYPT_CRYPT_H

#include <cstdint>
#include <memory>

#include <windows.h>
#include <wincrypt.h>

#include "foundation/Containers.h"
#include "foundation/Handles.h"
#include "foundation/Memory.h"
#include "foundation/Observer.h"
#include "foundation/StringEx.h"

// A failure of the cryptographic layer: a code and, for code 8, the Win32 error of the call that
// failed (for the other codes the error carries no information).
//   0  no key container could be opened or created
//   7  key length outside 512 to 16384 bits or not a multiple of 64
//   8  a system call failed
//   15 hash algorithm not known to MAAuthAlgHash::Name
class MCryptException {
public:
    enum : std::uint32_t {
        NoContainer = 0,
        BadKeyLength = 7,
        SystemCallFailed = 8,
        UnknownAlgorithm = 15,
    };

    MCryptException(std::uint32_t code, std::uint32_t error) : code(code), error(error) {}
    std::uint32_t Code() const { return code; }
    std::uint32_t Error() const { return error; }

private:
    std::uint32_t code;
    std::uint32_t error;
};

// The SHA-2 algorithm identifiers, which the Windows headers declare only for targets newer than
// the first Windows XP service packs (the enhanced provider knows them from XP SP3 on).
constexpr ALG_ID kAlgSha256 = 0x800C;
constexpr ALG_ID kAlgSha384 = 0x800D;
constexpr ALG_ID kAlgSha512 = 0x800E;

// The provider every container of this family lives in.
extern const wchar_t kEnhancedProviderName[];
// The name under which Windows XP SP3 registers the provider of type PROV_RSA_AES; later
// versions drop "(Prototype)" and make it the default of the type.
extern const wchar_t kXpAesProviderName[];

// A provider handle of CryptAcquireContextW; 0 is none.
struct CryptProviderRelease : ZeroIsEmpty<HCRYPTPROV> {
    static BOOL Free(HCRYPTPROV provider) { return CryptReleaseContext(provider, 0); }
};
using CryptProviderGuard = ScopedRelease<CryptProviderRelease>;
// A hash object of CryptCreateHash; 0 is none.
struct CryptHashRelease : ZeroIsEmpty<HCRYPTHASH> {
    static BOOL Free(HCRYPTHASH hash) { return CryptDestroyHash(hash); }
};
using CryptHashGuard = ScopedRelease<CryptHashRelease>;
// A key handle of CryptImportKey or CryptGenKey; 0 is none.
struct CryptKeyRelease : ZeroIsEmpty<HCRYPTKEY> {
    static BOOL Free(HCRYPTKEY key) { return CryptDestroyKey(key); }
};
using CryptKeyGuard = ScopedRelease<CryptKeyRelease>;

// A key-less context of the RSA and AES provider type (CRYPT_VERIFYCONTEXT: no container is
// opened or created, nothing is stored), which has SHA-256 on every Windows from XP SP3 on: the
// type's default provider, else XP SP3's provider by its name. Raises MCryptException 8 with the
// error of the last attempt. Any thread.
CryptProviderGuard AcquireAesVerificationContext();

// Opens the container `containerName` in the machine keyset of the enhanced provider. Only when
// it does not exist (NTE_BAD_KEYSET) is it created, and a container created here is given an
// access list that admits every authenticated user of the machine (SetAuthenticatedUsersAccess;
// a failure there is ignored). Returns the provider handle, or 0 when the container could be
// neither opened nor created. Never throws.
HCRYPTPROV AcquireMachineContext(const MStringEx<wchar_t>& containerName, DWORD providerType);
// Sets the access list of the provider's container to one entry that allows generic read, write
// and execute to Authenticated Users (S-1-5-11). Returns false, with nothing else done, at the
// first step that fails. Never throws.
bool SetAuthenticatedUsersAccess(HCRYPTPROV provider);

class MCryptBase {
public:
    class HashAlgId;
    // A list of owned hash algorithm identifiers.
    using HashAlgList = MList<const MSmartPtr<HashAlgId>>;

    // A hash algorithm identifier (ALG_ID). The base class knows no names and no algorithms.
    class HashAlgId {
    public:
        explicit HashAlgId(ALG_ID algId) : algId(algId) {}
        // Virtual, unlike the other members of this family's value classes that only carry
        // a value, because identifiers are owned and destroyed through HashAlgId pointers.
        virtual ~HashAlgId() = default;
        HashAlgId(const HashAlgId&) = default;
        HashAlgId& operator=(const HashAlgId&) = default;

        // A new heap object of the same class and value.
        virtual std::unique_ptr<HashAlgId> Clone() const;
        // The empty string.
        virtual MStringEx<wchar_t> Name() const;
        // A new, empty list.
        virtual std::unique_ptr<HashAlgList> SupportedAlgorithms() const;

        ALG_ID AlgId() const { return algId; }

    protected:
        ALG_ID algId;
    };

    // Algorithm flags: a 32-bit value held for the algorithm's user.
    class AlgFlags {
    public:
        explicit AlgFlags(DWORD flags) : flags(flags) {}
        virtual ~AlgFlags() = default;
        AlgFlags(const AlgFlags&) = default;
        AlgFlags& operator=(const AlgFlags&) = default;

        // 0, whatever this object holds: the value of "no flags" for this class.
        virtual DWORD ZeroValue() const { return 0; }
        DWORD Flags() const { return flags; }

    protected:
        DWORD flags;
    };

    // A key length in bits, kept between MinBits and MaxBits and a multiple of StepBits. Every
    // change is checked first and refused with MCryptException 7, which leaves the value as it
    // was.
    class KeyLengthBase {
    public:
        virtual ~KeyLengthBase() = default;
        KeyLengthBase(const KeyLengthBase&) = default;
        KeyLengthBase& operator=(const KeyLengthBase&) = default;

        virtual std::uint16_t MinBits() const = 0;
        virtual std::uint16_t MaxBits() const = 0;
        virtual std::uint16_t StepBits() const = 0;
        // The next longer length: Bits() + StepBits().
        virtual void NextLength();
        // Takes `value` (a 32-bit value, so that a length read from a key is never cut to 16
        // bits before it is checked).
        virtual void SetBits(std::uint32_t value);
        virtual bool IsShorter(const KeyLengthBase& other) const { return bits < other.bits; }

        std::uint16_t Bits() const { return bits; }
        // True when `value` is a length this class accepts.
        bool Accepts(std::uint32_t value) const;

    protected:
        // Derived classes set the length in their constructors, through SetBits.
        KeyLengthBase() : bits(0) {}

        std::uint16_t bits;
    };

    // Opens or creates the container (AcquireMachineContext with PROV_RSA_FULL). Raises
    // MCryptException 0 when neither is possible.
    explicit MCryptBase(const MStringEx<wchar_t>& containerName);
    // Releases the provider handle; the container stays stored on the machine.
    virtual ~MCryptBase();
    MCryptBase(const MCryptBase&) = delete;
    MCryptBase& operator=(const MCryptBase&) = delete;

    HCRYPTPROV Provider() const { return provider; }

protected:
    HCRYPTPROV provider;
    DWORD providerType;
};

// A key container with an RSA signature key pair.
class MAsymmetric : public MCryptBase {
public:
    // RSA key lengths: 512 to 16384 bits in steps of 64; 512 by default.
    class KeyLength : public KeyLengthBase {
    public:
        // Raises MCryptException 7 for a length this class does not accept.
        explicit KeyLength(std::uint32_t bits = 512) { KeyLength::SetBits(bits); }

        std::uint16_t MinBits() const override { return 512; }
        std::uint16_t MaxBits() const override { return 16384; }
        std::uint16_t StepBits() const override { return 64; }
    };

    // Opens or creates the container, then generates a new signature key pair of `keyLength` in
    // it, replacing the stored one. A failed generation raises MCryptException 8 with the
    // system error, after the container handle has been released.
    MAsymmetric(const MStringEx<wchar_t>& containerName, const KeyLength& keyLength);
    // Destroys the key handle; the key pair stays stored in the container.
    ~MAsymmetric() override;

    // Stores the length and replaces the key pair by a new one of that length.
    virtual void SetKeyLength(const KeyLength& length) = 0;
    // Replaces the key pair by a new one of the current length.
    virtual void GenerateKey() = 0;
    virtual KeyLength GetKeyLength() const { return keyLength; }
    // Replaces the current key by the key in `keyBlob` (a CryptoAPI key blob, imported without
    // an import key) and takes its length. A failed call raises MCryptException 8 with the system
    // error; a key of a length KeyLength does not accept raises 7. After a failure the object
    // holds no key and its length is unchanged.
    virtual void ImportKey(const MemoryPH<unsigned char>& keyBlob);
    virtual void ImportKey(const ShellMemory<unsigned char>& keyBlob);

    HCRYPTKEY Key() const { return key; }

protected:
    // Destroys the current key, if any, and generates a new signature key pair of keyLength.
    // Raises MCryptException 8 with the system error.
    void ReplaceSignatureKey();
    // Destroys the current key, if any; the object then holds none.
    void DestroyKey();

    HCRYPTKEY key;
    KeyLength keyLength;

private:
    void ImportKeyBytes(const BYTE* blob, DWORD size);
};

// A key container with a signature key pair, a hash algorithm and algorithm flags.
class MAAuthenticator : public MAsymmetric {
public:
    // The hash algorithms this family knows by name.
    class MAAuthAlgHash : public HashAlgId {
    public:
        explicit MAAuthAlgHash(ALG_ID algId = CALG_SHA1) : HashAlgId(algId) {}

        std::unique_ptr<HashAlgId> Clone() const override;
        // "MD2", "MD4", "MD5", "SHA-1", "SHA2-256", "SHA2-384" or "SHA2-512"; any other value
        // raises MCryptException 15.
        MStringEx<wchar_t> Name() const override;
        // A new list of the seven algorithms, strongest first: SHA2-512, SHA2-384, SHA2-256,
        // SHA-1, MD2, MD4, MD5.
        std::unique_ptr<HashAlgList> SupportedAlgorithms() const override;
    };

    class MAAuthAlgFlags : public AlgFlags {
    public:
        explicit MAAuthAlgFlags(DWORD flags = 0) : AlgFlags(flags) {}
    };

    // MAsymmetric's construction (container, then a new key pair), then the algorithm and the
    // flags. The download uses the defaults: 512 bits, SHA-1, flags 0.
    explicit MAAuthenticator(const MStringEx<wchar_t>& containerName,
                             const KeyLength& keyLength = KeyLength(),
                             const MAAuthAlgHash& hashAlgorithm = MAAuthAlgHash(CALG_SHA1),
                             const MAAuthAlgFlags& algorithmFlags = MAAuthAlgFlags(0));

    void SetKeyLength(const KeyLength& length) override;
    void GenerateKey() override;
    // Stores the flags' value; returns a copy of what is stored.
    virtual MAAuthAlgFlags SetFlags(const AlgFlags& flags);
    virtual MAAuthAlgFlags GetFlags() const { return algorithmFlags; }

    const MAAuthAlgHash& HashAlgorithm() const { return hashAlgorithm; }

    // Computes the digest of the whole file with the hash algorithm into `digest`.
    //
    // `file` must allow reading and moving the file pointer; its position afterwards is the one
    // it had before, on every path. The file is read from its start in blocks of at most 1 MiB
    // (one buffer for the whole call). Before every read, including the last one that finds the
    // end, the observer is waited on (WaitWhilePaused) and notified with the bytes done so far,
    // the file size and the length about to be read; so a 2.5 MiB file gives done = 0, 1 MiB,
    // 2 MiB, 2.5 MiB, and an empty file a single call with 0 and 0.
    //
    // Returns true with the digest (20 bytes for SHA-1, in the algorithm's standard byte order);
    // false, with `digest` emptied, when the observer returned false. A failed file or hash call
    // raises MCryptException 8 with the system error; other exceptions (heap, observer) pass
    // through. On every exception the file position is restored and `digest` is left as it was.
    bool HashFile(HANDLE file, MemoryPH<unsigned char>& digest, MObserver& observer);

protected:
    MAAuthAlgHash hashAlgorithm;
    MAAuthAlgFlags algorithmFlags;
};

// One digest of a pass over a file: computed with `algorithm` in `provider`, into `value`.
struct FileDigest {
    HCRYPTPROV provider;
    ALG_ID algorithm;
    MemoryPH<unsigned char> value;
};

// Computes the digests of `digests` (`count` of them, 1 or 2) together, in one reading of the
// file, with the blocks, notifications and file-position guarantee of MAAuthenticator::HashFile.
// Returns true with every `value` filled; false, with every `value` emptied, when the observer
// stopped the pass. Raises as HashFile does; on an exception the values are left as they were.
bool HashFileDigests(HANDLE file, FileDigest* digests, std::uint32_t count, MObserver& observer);

// True when `signature` is an RSA PKCS#1 v1.5 signature by the public key in `publicKeyBlob` (a
// CryptoAPI PUBLICKEYBLOB) over the SHA-256 digest `sha256`. `signature` is in the byte order
// that OpenSSL and every other tool write (most significant byte first) and must be exactly as
// long as the key's modulus. `provider` must have SHA-256 (AcquireAesVerificationContext). A key
// that cannot be imported, a signature of another length and every failed call give false.
// Raises only when memory runs out.
bool IsSha256SignedBy(HCRYPTPROV provider, const MAtom<unsigned char>& sha256,
                      const MAtom<unsigned char>& signature,
                      const MAtom<unsigned char>& publicKeyBlob);

// The bytes of a hash code sent as hexadecimal text: 'headerValue' holds UTF-16 text (two bytes
// per character, as read from a response header), used up to its first null character. The text
// must consist of pairs of the digits "0"-"9" and "A"-"F" (upper case), the high half of each byte
// first. An empty text gives no bytes (which equal no digest). The text is checked in its UTF-8
// form: an odd number of UTF-8 bytes raises MAtomException (5, 0), any byte that is not one of
// those digits (lower-case letters, white space, anything not ASCII) raises (10, 13). A value of
// an odd number of bytes raises MUnitException 5.
MemoryPH<unsigned char> DecodeHashCode(const MAtom<unsigned char>& headerValue);

#endif
