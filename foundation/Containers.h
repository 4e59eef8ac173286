// Containers: an owning doubly linked list, a key/value pair, a dictionary with unique keys, and
// an owning pointer. Not synchronised.
#ifndef KDM_FOUNDATION_CONTAINERS_H
#define KDM_FOUNDATION_CONTAINERS_H

#include <cstdint>
#include <initializer_list>
#include <memory>

#include <windows.h>

#include "foundation/Errors.h"
#include "foundation/Memory.h"

// A list that owns its elements, kept in insertion order. Positions are served from an index of
// element pointers built on the first GetAt and discarded by every Add and RemoveAll.
template <typename T> class MList {
public:
    MList() : count(0), last(nullptr), first(nullptr), index(nullptr) {}
    // Appends each element in order and owns all of them; if an Add throws, every element
    // given is destroyed (those not yet added too) and the exception propagates.
    MList(std::initializer_list<T*> elements) : MList() { AddEach(elements); }
    virtual ~MList() { MList::RemoveAll(); }
    MList(const MList&) = delete;
    MList& operator=(const MList&) = delete;

    // Appends the element and owns it; when the append fails the element is destroyed.
    void Add(T* element)
    {
        std::unique_ptr<T> owned(element);
        Node* const node = new Node{last, nullptr, element};
        owned.release();
        DiscardIndex();
        if (last != nullptr) {
            last->next = node;
        } else {
            first = node;
        }
        last = node;
        ++count;
    }
    // The element at position i in insertion order. A position at or past Count() raises
    // MAtomException (1, 0).
    T* GetAt(std::uint32_t i)
    {
        if (i >= count) {
            throw MAtomException(MAtomException::OutOfRange, 0);
        }
        BuildIndex();
        return index[i];
    }
    std::uint32_t Count() const { return count; }
    bool IsEmpty() const { return count == 0; }
    // Destroys the elements from the newest to the oldest, and the index.
    virtual void RemoveAll()
    {
        while (last != nullptr) {
            Node* const node = last;
            last = node->previous;
            if (last != nullptr) {
                last->next = nullptr;
            } else {
                first = nullptr;
            }
            T* const item = node->item;
            delete node;
            --count;
            delete item;
        }
        DiscardIndex();
    }

protected:
    struct Node {
        Node* previous;
        Node* next;
        T* item;
    };

    template <typename Adder> void AddEach(std::initializer_list<T*> elements, Adder add)
    {
        T* const* next = elements.begin();
        try {
            for (; next != elements.end(); ++next) {
                add(*next);
            }
        } catch (...) {
            // The failed Add destroyed its element; the ones after it are destroyed here, the
            // ones added by the destructor, which runs because the list is already constructed.
            while (++next != elements.end()) {
                delete *next;
            }
            throw;
        }
    }
    void AddEach(std::initializer_list<T*> elements)
    {
        AddEach(elements, [this](T* element) { Add(element); });
    }
    void BuildIndex()
    {
        if (index != nullptr) {
            return;
        }
        index = static_cast<T**>(
            AllocateHeapBlock(GetProcessHeap(), 0, static_cast<std::uint64_t>(count) * sizeof(T*)));
        std::uint32_t i = 0;
        for (const Node* node = first; node != nullptr; node = node->next) {
            index[i++] = node->item;
        }
    }
    void DiscardIndex()
    {
        FreeHeapBlock(GetProcessHeap(), index);
        index = nullptr;
    }

    std::uint32_t count;
    Node* last;
    Node* first;
    T** index;
};

// A key and a value held by value, and a tag that the containers copy but never interpret.
template <typename K, typename V> class Pair {
public:
    enum : int { DefaultTag = 2 };

    // The key with an empty value.
    explicit Pair(const K& key) : key(key), value(), tag(DefaultTag) {}
    Pair(const K& key, const V& value) : key(key), value(value), tag(DefaultTag) {}
    Pair(const Pair& other) : key(other.key), value(other.value), tag(other.tag) {}
    Pair& operator=(const Pair&) = delete;
    virtual ~Pair() = default;

    K key;
    V value;
    int tag;
};

// The lock policy without synchronisation: a dictionary with it is used by one thread only.
struct MNoLock {};

// A list of pairs whose keys are unique: equal keys (same characters, case-sensitive, and the
// same radix) are refused. K is an MStringEx. The lock policies are MNoLock.
template <typename K, typename V, typename L1 = MNoLock, typename L2 = MNoLock>
class Dictionary : public MList<Pair<K, V>> {
public:
    using PairType = Pair<K, V>;

    Dictionary() = default;
    // Adds each pair with the duplicate check, then builds the index. If an Add throws, every
    // pair given is destroyed and the exception propagates.
    Dictionary(std::initializer_list<PairType*> pairs) : Dictionary()
    {
        this->AddEach(pairs, [this](PairType* pair) { Add(pair); });
        this->BuildIndex();
    }

    // Appends the pair and owns it. A key equal to an existing one raises DictionaryException 2;
    // the pair is then destroyed and nothing is added.
    void Add(PairType* pair)
    {
        std::unique_ptr<PairType> owned(pair);
        for (const typename MList<PairType>::Node* node = this->first; node != nullptr;
             node = node->next) {
            if (node->item->key == pair->key && node->item->key.Radix() == pair->key.Radix()) {
                throw DictionaryException(DictionaryException::DuplicateKey);
            }
        }
        MList<PairType>::Add(owned.release());
    }
    // Replaces the content with copies of the source's pairs (key, value and tag), in order,
    // without the duplicate check. The index is built when the source's was.
    void AssignList(const Dictionary& source)
    {
        if (&source == this) {
            return;
        }
        this->RemoveAll();
        for (const typename MList<PairType>::Node* node = source.first; node != nullptr;
             node = node->next) {
            MList<PairType>::Add(new PairType(*node->item));
        }
        if (source.index != nullptr) {
            this->BuildIndex();
        }
    }
};

// Owns one heap object (allocated with new). Not copyable.
template <typename T> class MSmartPtr {
public:
    explicit MSmartPtr(T* pointer = nullptr) : pointer(pointer) {}
    ~MSmartPtr() { Reset(); }
    MSmartPtr(const MSmartPtr&) = delete;
    MSmartPtr& operator=(const MSmartPtr&) = delete;

    // The owned object; an empty pointer raises MSmartPtrError (0, 0).
    T* Get() const
    {
        if (pointer == nullptr) {
            throw MSmartPtrError(MSmartPtrError::EmptyPointer, 0);
        }
        return pointer;
    }
    T* operator->() const { return Get(); }
    T& operator*() const { return *Get(); }
    bool IsEmpty() const { return pointer == nullptr; }
    // Destroys the object, if any, and holds null. Safe twice.
    void Reset()
    {
        T* const held = pointer;
        pointer = nullptr;
        delete held;
    }
    // Gives up ownership without destroying the object: returns it (null when empty) and holds
    // null.
    T* Release()
    {
        T* const held = pointer;
        pointer = nullptr;
        return held;
    }

private:
    T* pointer;
};

#endif
