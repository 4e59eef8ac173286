#include "foundation/Containers.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/StringEx.h"
#include "tests/support/Thrown.h"

namespace {

using Key = MStringEx<wchar_t>;
using HeaderPair = Pair<Key, MemoryPH<unsigned char>>;
using Headers = Dictionary<Key, MemoryPH<unsigned char>, MNoLock, MNoLock>;

// Records its destruction, to see what a container destroyed and in which order.
struct Tracked {
    Tracked(std::vector<int>& log, int id) : log(&log), id(id) {}
    Tracked(const Tracked& other) = default;
    ~Tracked() { log->push_back(id); }
    std::vector<int>* log;
    int id;
};

using TrackedPair = Pair<Key, Tracked>;
using TrackedDictionary = Dictionary<Key, Tracked, MNoLock, MNoLock>;

TEST(Dictionary, KeysAreUniqueCaseSensitivelyAndByRadix)
{
    Headers headers{new HeaderPair(L"NORVALIS-DOWNLOAD-HASHCODE")};
    headers.Add(new HeaderPair(L"norvalis-download-hashcode"));
    EXPECT_EQ(headers.Count(), 2u);

    EXPECT_EQ(ThrownCode<DictionaryException>(
                  [&] { headers.Add(new HeaderPair(L"NORVALIS-DOWNLOAD-HASHCODE")); }),
              DictionaryException::DuplicateKey);
    EXPECT_EQ(headers.Count(), 2u);

    Key hex(L"NORVALIS-DOWNLOAD-HASHCODE");
    hex.SetRadix(16);
    headers.Add(new HeaderPair(hex));
    EXPECT_EQ(headers.Count(), 3u);
}

TEST(Dictionary, ADuplicateInTheConstructorDestroysEveryPair)
{
    std::vector<int> log;
    EXPECT_EQ(ThrownCode<DictionaryException>([&] {
                  TrackedDictionary pairs{new TrackedPair(L"a", Tracked(log, 1)),
                                          new TrackedPair(L"a", Tracked(log, 2)),
                                          new TrackedPair(L"b", Tracked(log, 3))};
              }),
              DictionaryException::DuplicateKey);
    log.erase(log.begin(), log.begin() + 3); // the temporaries the pairs were copied from
    std::sort(log.begin(), log.end());
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
}

TEST(Dictionary, GetAtFollowsAdds)
{
    Headers headers{new HeaderPair(L"A")};
    EXPECT_TRUE(headers.GetAt(0)->key == L"A");
    headers.Add(new HeaderPair(L"B"));
    EXPECT_TRUE(headers.GetAt(headers.Count() - 1)->key == L"B");
    EXPECT_EQ(ThrownAtom([&] { headers.GetAt(2); }), AtomError(1, 0));
}

TEST(Dictionary, AssignListCopiesPairs)
{
    MemoryPH<unsigned char> value(2);
    value[0] = 'o';
    value[1] = 'k';
    Headers found;
    found.Add(new HeaderPair(L"Hash", value));
    found.GetAt(0)->tag = 5;

    Headers wanted{new HeaderPair(L"Hash"), new HeaderPair(L"Other")};
    wanted.AssignList(found);
    ASSERT_EQ(wanted.Count(), 1u);
    EXPECT_TRUE(wanted.GetAt(0)->key == L"Hash");
    EXPECT_TRUE(wanted.GetAt(0)->value.Equals(value));
    EXPECT_EQ(wanted.GetAt(0)->tag, 5);
    EXPECT_NE(wanted.GetAt(0)->value.Data(), found.GetAt(0)->value.Data());

    wanted.AssignList(Headers());
    EXPECT_EQ(wanted.Count(), 0u);
}

TEST(MList, DestroysElementsNewestFirst)
{
    std::vector<int> log;
    {
        MList<Tracked> list{new Tracked(log, 1), new Tracked(log, 2)};
        list.Add(new Tracked(log, 3));
        EXPECT_EQ(list.GetAt(1)->id, 2);
    }
    EXPECT_EQ(log, (std::vector<int>{3, 2, 1}));
}

TEST(MSmartPtr, OwnsOneObject)
{
    std::vector<int> log;
    MSmartPtr<Tracked> owner(new Tracked(log, 1));
    EXPECT_EQ(owner->id, 1);
    owner.Reset();
    owner.Reset();
    EXPECT_EQ(log, (std::vector<int>{1}));
    EXPECT_EQ(ThrownCode<MSmartPtrError>([&] { owner.Get(); }), MSmartPtrError::EmptyPointer);

    Tracked stays(log, 2);
    MSmartPtr<Tracked> handedOver(&stays);
    EXPECT_EQ(handedOver.Release(), &stays);
}

} // namespace
