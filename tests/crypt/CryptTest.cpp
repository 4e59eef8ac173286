#include "crypt/Crypt.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/crypt/TestContainer.h"
#include "tests/support/Thrown.h"

namespace {

using KeyLength = MAsymmetric::KeyLength;
using MAAuthAlgHash = MAAuthenticator::MAAuthAlgHash;

std::wstring NameOf(const MCryptBase::HashAlgId& algorithm)
{
    return algorithm.Name().Data();
}

TEST(KeyLength, AcceptsMultiplesOf64From512To16384)
{
    struct Case {
        std::uint32_t bits;
        std::int64_t expected;
    };
    const Case cases[] = {
        {512, -1},  {576, -1}, {16384, -1},      {511, 7}, {520, 7},
        {16448, 7}, {0, 7},    {65536 + 512, 7}, // would pass if cut to 16 bits before the check
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ThrownCode<MCryptException>([&] { KeyLength length(c.bits); }), c.expected)
            << c.bits;
    }
    EXPECT_EQ(KeyLength().Bits(), 512);
}

TEST(KeyLength, NextLengthStepsAndStopsAtTheMaximum)
{
    KeyLength length(512);
    length.NextLength();
    EXPECT_EQ(length.Bits(), 576);
    EXPECT_TRUE(KeyLength(512).IsShorter(length));
    EXPECT_FALSE(length.IsShorter(KeyLength(576)));

    KeyLength longest(16384);
    EXPECT_EQ(ThrownCode<MCryptException>([&] { longest.NextLength(); }), 7);
    EXPECT_EQ(longest.Bits(), 16384);
    EXPECT_EQ(ThrownCode<MCryptException>([&] { longest.SetBits(1000); }), 7);
    EXPECT_EQ(longest.Bits(), 16384);
}

TEST(HashAlgorithms, NamesAndUnknownIdentifiers)
{
    const std::pair<ALG_ID, const wchar_t*> names[] = {
        {CALG_MD2, L"MD2"},        {CALG_MD4, L"MD4"},        {CALG_MD5, L"MD5"},
        {CALG_SHA1, L"SHA-1"},     {kAlgSha256, L"SHA2-256"}, {kAlgSha384, L"SHA2-384"},
        {kAlgSha512, L"SHA2-512"},
    };
    for (const auto& entry : names) {
        EXPECT_EQ(NameOf(MAAuthAlgHash(entry.first)), entry.second);
    }
    EXPECT_EQ(ThrownCode<MCryptException>([] { MAAuthAlgHash(0x8005).Name(); }), 15);
    EXPECT_EQ(NameOf(MCryptBase::HashAlgId(CALG_SHA1)), L"");
    EXPECT_TRUE(MCryptBase::HashAlgId(CALG_SHA1).SupportedAlgorithms()->IsEmpty());

    // A clone keeps its class, and with it the names.
    const std::unique_ptr<MCryptBase::HashAlgId> clone = MAAuthAlgHash(kAlgSha256).Clone();
    EXPECT_EQ(clone->AlgId(), kAlgSha256);
    EXPECT_EQ(NameOf(*clone), L"SHA2-256");
}

TEST(HashAlgorithms, SupportedListStrongestFirst)
{
    const std::unique_ptr<MCryptBase::HashAlgList> list = MAAuthAlgHash().SupportedAlgorithms();
    std::vector<std::wstring> names;
    for (std::uint32_t i = 0; i < list->Count(); ++i) {
        names.push_back(NameOf(**list->GetAt(i)));
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"SHA2-512", L"SHA2-384", L"SHA2-256", L"SHA-1",
                                                L"MD2", L"MD4", L"MD5"}));
}

class MachineContainer : public ::testing::Test {
protected:
    TestContainer container;
};

TEST_F(MachineContainer, CreatedOnFirstUseWithAccessForAuthenticatedUsers)
{
    ASSERT_FALSE(container.Exists());
    MAAuthenticator authenticator(container.Name());
    EXPECT_TRUE(container.Exists());

    // One entry: generic read, write and execute for Authenticated Users.
    EXPECT_EQ(container.AccessList(), L"D:(A;;GXGWGR;;;AU)");
    EXPECT_EQ(KeyBits(authenticator.Key()), 512u);
    EXPECT_EQ(authenticator.GetKeyLength().Bits(), 512);
    EXPECT_EQ(authenticator.HashAlgorithm().AlgId(), static_cast<ALG_ID>(CALG_SHA1));
    EXPECT_EQ(authenticator.GetFlags().Flags(), 0u);
}

TEST_F(MachineContainer, ExistingContainerIsOpenedAndItsAccessListLeftAlone)
{
    ASSERT_TRUE(container.CreateWithoutAccessList());
    const std::wstring before = container.AccessList();
    ASSERT_FALSE(before.empty());

    {
        MCryptBase opened(container.Name());
    }
    MAAuthenticator again(container.Name());
    EXPECT_EQ(KeyBits(again.Key()), 512u);

    EXPECT_EQ(container.AccessList(), before);
}

TEST_F(MachineContainer, KeyLengthChangesReplaceTheKey)
{
    MAAuthenticator authenticator(container.Name());
    authenticator.SetKeyLength(KeyLength(576));
    EXPECT_EQ(KeyBits(authenticator.Key()), 576u);
    EXPECT_EQ(authenticator.GetKeyLength().Bits(), 576);
    authenticator.GenerateKey();
    EXPECT_EQ(KeyBits(authenticator.Key()), 576u);

    const MAAuthenticator::MAAuthAlgFlags stored =
        authenticator.SetFlags(MCryptBase::AlgFlags(0x40));
    EXPECT_EQ(stored.Flags(), 0x40u);
    EXPECT_EQ(authenticator.GetFlags().Flags(), 0x40u);
    EXPECT_EQ(stored.ZeroValue(), 0u);
}

TEST_F(MachineContainer, ImportKeyChecksTheImportedLength)
{
    MAAuthenticator authenticator(container.Name());

    MemoryPH<unsigned char> blob = PublicKeyBlob(1024);
    authenticator.ImportKey(blob);
    EXPECT_EQ(KeyBits(authenticator.Key()), 1024u);
    EXPECT_EQ(authenticator.GetKeyLength().Bits(), 1024);

    // 384 bits is a valid RSA key for the provider, but shorter than this family allows.
    MemoryPH<unsigned char> shortBlob = PublicKeyBlob(384);
    EXPECT_EQ(ThrownCode<MCryptException>([&] {
                  authenticator.ImportKey(
                      ShellMemory<unsigned char>(shortBlob.Count(), shortBlob.Data()));
              }),
              7);
    EXPECT_EQ(authenticator.Key(), 0u);
    EXPECT_EQ(authenticator.GetKeyLength().Bits(), 1024);

    MemoryPH<unsigned char> garbage(16);
    std::fill(garbage.Data(), garbage.Data() + garbage.Count(), 0x5A);
    try {
        authenticator.ImportKey(garbage);
        ADD_FAILURE() << "garbage imported";
    } catch (const MCryptException& e) {
        EXPECT_EQ(e.Code(), 8u);
        EXPECT_NE(e.Error(), 0u);
    }
}

} // namespace
