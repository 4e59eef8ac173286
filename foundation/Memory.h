// Typed buffers on the Win32 process heap.
//
// MAtom<T> family: an element pointer and an element count. MemoryPH<T> owns an exact-size heap
// block (also for 0 elements: its data is never null while it lives); ShellMemory<T> is a view
// over elements owned elsewhere and never allocates or frees. Every position and length is
// checked: misuse raises MAtomException, count arithmetic MUnitException.
//
// MMemory<T> family: a raw block whose size is kept in bytes; MMemoryPH<T,F> owns it.
//
// Not synchronised: each buffer is used by one thread at a time.
#ifndef KDM_FOUNDATION_MEMORY_H
#define KDM_FOUNDATION_MEMORY_H

#include <cstdint>
#include <cstring>
#include <typeinfo>

#include <windows.h>

#include "foundation/Errors.h"
#include "foundation/Units.h"

// Allocates `bytes` on `heap` with `flags`. HEAP_GENERATE_EXCEPTIONS is always removed (this
// compiler has no structured-exception handling): an exhausted heap returns null, which is
// thrown as MAtomException (8, 8).
void* AllocateHeapBlock(HANDLE heap, DWORD flags, std::uint64_t bytes);
// Frees a block of AllocateHeapBlock; null frees nothing.
void FreeHeapBlock(HANDLE heap, void* block);

template <typename T> class MAtom {
public:
    // Values of Kind(): buffers of different kinds cannot exchange their elements.
    enum : int { OwningKind = 0, ViewKind = 2 };

    virtual ~MAtom() = default;
    MAtom(const MAtom&) = delete;
    MAtom& operator=(const MAtom&) = delete;

    virtual int Kind() const = 0;
    virtual bool OwnsElements() const = 0;
    virtual bool IsEmpty() const { return count == 0; }
    // Owning buffer: 0 elements in a new block. View: detached.
    virtual void Clear() = 0;
    // Same count and byte-identical elements. Elements to compare without memory (a view that
    // was detached and given a count) raise (0, 0).
    virtual bool Equals(const MAtom& other) const
    {
        if (count != other.count) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (data == nullptr || other.data == nullptr) {
            throw MAtomException(MAtomException::NullBlock, 0);
        }
        return std::memcmp(data, other.data, ByteCount(count)) == 0;
    }
    virtual bool NotEquals(const MAtom& other) const { return !Equals(other); }
    // n elements, contents not kept.
    virtual void Reallocate(std::uint32_t n) = 0;

    // Copies n elements of src from srcPos to dstPos. n 0 does nothing. Raises (6, 0) when
    // dstPos + n passes this count, (7, 0) when srcPos + n passes the source's.
    virtual void CopyRange(std::uint32_t dstPos, const MAtom& src, std::uint32_t srcPos,
                           std::uint32_t n)
    {
        if (n == 0) {
            return;
        }
        if (UnitAdd(dstPos, n) > count) {
            throw MAtomException(MAtomException::DestinationTooSmall, 0);
        }
        if (UnitAdd(srcPos, n) > src.count) {
            throw MAtomException(MAtomException::SourceTooShort, 0);
        }
        if (data == nullptr || src.data == nullptr) {
            throw MAtomException(MAtomException::NullBlock, 0);
        }
        std::memmove(data + dstPos, src.data + srcPos, ByteCount(n));
    }
    // All of src to position 0.
    virtual void CopyFrom(const MAtom& src) { CopyRange(0, src, 0, src.count); }
    // All of src to pos; with advance, pos then moves past the copied elements.
    virtual void CopyAt(std::uint32_t& pos, const MAtom& src, bool advance)
    {
        CopyRange(pos, src, 0, src.count);
        if (advance) {
            pos = UnitAdd(pos, src.count);
        }
    }
    virtual void CopyAt(std::uint32_t pos, const MAtom& src) { CopyRange(pos, src, 0, src.count); }
    // CopyRange, then moves either position past the copied elements when asked.
    virtual void CopyRangeAdvance(std::uint32_t& dstPos, bool advanceDst, const MAtom& src,
                                  std::uint32_t& srcPos, bool advanceSrc, std::uint32_t n)
    {
        CopyRange(dstPos, src, srcPos, n);
        if (advanceDst) {
            dstPos = UnitAdd(dstPos, n);
        }
        if (advanceSrc) {
            srcPos = UnitAdd(srcPos, n);
        }
    }
    // Views only: moves the first element n places forward or backward; unless keepCount is
    // set, the count shrinks (forward) or grows (backward) by n.
    virtual void MovePointer(std::uint32_t n, bool forward, bool keepCount)
    {
        if (OwnsElements()) {
            throw MAtomException(MAtomException::InvalidForBuffer, 0);
        }
        if (data == nullptr) {
            throw MAtomException(MAtomException::NullBlock, 0);
        }
        std::uint32_t moved = count;
        if (!keepCount) {
            if (forward && n > count) {
                throw MAtomException(MAtomException::OutOfRange, 0);
            }
            moved = forward ? count - n : UnitAdd(count, n);
        }
        data = forward ? data + n : data - n;
        count = moved;
    }
    // Keeps the first n elements, without reallocating; n above the count raises (1, 0).
    virtual void Truncate(std::uint32_t n)
    {
        if (n > count) {
            throw MAtomException(MAtomException::OutOfRange, 0);
        }
        count = n;
    }

    T* Data() { return data; }
    const T* Data() const { return data; }
    std::uint32_t Count() const { return count; }
    // The elements' size in bytes, as a Win32 size argument.
    DWORD ByteSize() const { return UnitNarrow(ByteCount(count)); }
    // Element i; a position at or past the count raises (1, 0).
    T& operator[](std::uint32_t i) { return *ElementAt(i); }
    const T& operator[](std::uint32_t i) const { return *ElementAt(i); }

    template <typename U> friend void Exchange(MAtom<U>& a, MAtom<U>& b);

protected:
    MAtom(T* data, std::uint32_t count) : data(data), count(count) {}

    static std::size_t ByteCount(std::uint32_t n)
    {
        return UnitNarrow<std::size_t>(static_cast<std::uint64_t>(n) * sizeof(T));
    }

    T* data;
    std::uint32_t count;

private:
    T* ElementAt(std::uint32_t i) const
    {
        if (i >= count) {
            throw MAtomException(MAtomException::OutOfRange, 0);
        }
        if (data == nullptr) {
            throw MAtomException(MAtomException::NullBlock, 0);
        }
        return data + i;
    }
};

// Swaps the elements (pointer and count) of two buffers of the same Kind(), else (5, 0). Used to
// install a freshly built block into an existing buffer.
template <typename T> void Exchange(MAtom<T>& a, MAtom<T>& b)
{
    if (a.Kind() != b.Kind()) {
        throw MAtomException(MAtomException::InvalidForBuffer, 0);
    }
    T* const data = a.data;
    const std::uint32_t count = a.count;
    a.data = b.data;
    a.count = b.count;
    b.data = data;
    b.count = count;
}

// Owns one process-heap block of exactly Count() elements. Copies are made only explicitly (the
// copy constructors are explicit, assignment is AssignFrom). When a reallocation fails, the buffer
// holds no block (null, 0 elements), stays destructible, and the exception propagates.
template <typename T> class MemoryPH : public MAtom<T> {
public:
    // n elements, contents undefined.
    explicit MemoryPH(std::uint32_t n = 0) : MAtom<T>(nullptr, 0), heap(GetProcessHeap())
    {
        Allocate(n);
    }
    // A copy of the elements of any buffer.
    explicit MemoryPH(const MAtom<T>& source) : MemoryPH(source.Count()) { this->CopyFrom(source); }
    explicit MemoryPH(const MemoryPH& source) : MemoryPH(static_cast<const MAtom<T>&>(source)) {}
    // Takes over the source's block; the source is left with a block of 0 elements. Moves go
    // only between buffers of one type, else (5, 0) and nothing changes: a derived buffer such as
    // a string has rules for its block (a terminator) that a plain buffer does not keep.
    MemoryPH(MemoryPH&& source) : MemoryPH(0u)
    {
        if (typeid(source) != typeid(MemoryPH)) {
            throw MAtomException(MAtomException::InvalidForBuffer, 0);
        }
        Exchange(*this, source);
    }
    MemoryPH& operator=(MemoryPH&& source)
    {
        if (typeid(source) != typeid(*this)) {
            throw MAtomException(MAtomException::InvalidForBuffer, 0);
        }
        Exchange(*this, source);
        return *this;
    }
    MemoryPH& operator=(const MemoryPH&) = delete;
    ~MemoryPH() override { FreeHeapBlock(heap, this->data); }

    int Kind() const override { return MAtom<T>::OwningKind; }
    bool OwnsElements() const override { return true; }
    // A block of 0 elements. A buffer without a block raises (0, 0).
    void Clear() override
    {
        if (this->data == nullptr) {
            throw MAtomException(MAtomException::NullBlock, 0);
        }
        Reallocate(0);
    }
    void Reallocate(std::uint32_t n) override
    {
        FreeHeapBlock(heap, this->data);
        this->data = nullptr;
        this->count = 0;
        Allocate(n);
    }
    // Becomes a copy of the source's elements. The copy is made before the old block is freed,
    // so the source may be a view into this buffer.
    virtual void AssignFrom(const MAtom<T>& source)
    {
        MemoryPH copy(source);
        Exchange(*this, copy);
    }

protected:
    HANDLE heap;

private:
    void Allocate(std::uint32_t n)
    {
        this->data =
            static_cast<T*>(AllocateHeapBlock(heap, 0, static_cast<std::uint64_t>(n) * sizeof(T)));
        this->count = n;
    }
};

// A view of elements owned by someone else: never allocates or frees. It may be detached (null,
// 0 elements) by Clear and attached again by Attach. The owner must outlive the view.
template <typename T> class ShellMemory : public MAtom<T> {
public:
    // n elements at pointer; a null pointer raises (0, 0).
    ShellMemory(std::uint32_t n, T* pointer) : MAtom<T>(pointer, n)
    {
        if (pointer == nullptr) {
            throw MAtomException(MAtomException::NullBlock, 0);
        }
    }
    ShellMemory(const ShellMemory& other) : MAtom<T>(other.data, other.count) {}
    ShellMemory& operator=(const ShellMemory& other)
    {
        this->data = other.data;
        this->count = other.count;
        return *this;
    }

    int Kind() const override { return MAtom<T>::ViewKind; }
    bool OwnsElements() const override { return false; }
    // Detaches the view.
    void Clear() override
    {
        this->data = nullptr;
        this->count = 0;
    }
    // Only a detached view takes a new count (it is not attached by this); an attached view
    // raises (2, 0).
    void Reallocate(std::uint32_t n) override
    {
        if (this->data != nullptr) {
            throw MAtomException(MAtomException::NotOnView, 0);
        }
        this->count = n;
    }
    // Shows the other buffer's elements, without copying them.
    void Attach(MAtom<T>& other)
    {
        this->data = other.Data();
        this->count = other.Count();
    }
};

// A view of elements [start, start + n) of atom; start + n beyond the count raises (7, 0).
template <typename T> ShellMemory<T> SubView(MAtom<T>& atom, std::uint32_t start, std::uint32_t n)
{
    if (UnitAdd(start, n) > atom.Count()) {
        throw MAtomException(MAtomException::SourceTooShort, 0);
    }
    return ShellMemory<T>(n, atom.Data() == nullptr ? nullptr : atom.Data() + start);
}

// The bytes of a wide buffer (two per character). A buffer without elements' memory raises (0, 0).
ShellMemory<unsigned char> ByteView(MAtom<wchar_t>& wide);
// The bytes of a byte buffer read as wide characters; an odd byte count raises MUnitException 5,
// a buffer without memory (0, 0).
ShellMemory<wchar_t> WideView(MAtom<unsigned char>& bytes);
// Converts hexadecimal text ("0"-"9", upper-case "A"-"F") into bytes in place, and truncates the
// buffer to the bytes. An odd count raises (5, 0); any other character (10, 13), after which the
// front of the buffer is already overwritten.
void DecodeHex(MAtom<unsigned char>& text);
// Decodes base64 text (RFC 4648's standard alphabet, "=" padding, no line breaks or white space)
// from `text` up to its first null character into `bytes`. Returns false, with `bytes` emptied,
// for text that is not that: a length that is not a multiple of four, any other character, or
// padding anywhere but at the end. Raises only when memory runs out.
bool DecodeBase64(const MAtom<wchar_t>& text, MemoryPH<unsigned char>& bytes);

// A raw block whose size is kept in bytes.
template <typename T> class MMemory {
public:
    // An element count derived from a byte size (size / sizeof(T), rounded down), or given.
    class MemUnits {
    public:
        explicit MemUnits(std::uint32_t units) : units(units) {}
        explicit MemUnits(const MMemory& memory)
            : units(static_cast<std::uint32_t>(memory.Size() / sizeof(T)))
        {
        }
        virtual ~MemUnits() = default;
        std::uint32_t Units() const { return units; }

    private:
        std::uint32_t units;
    };

    virtual ~MMemory() = default;
    MMemory(const MMemory&) = delete;
    MMemory& operator=(const MMemory&) = delete;

    virtual bool IsEmpty() const { return size == 0; }
    virtual bool OwnsElements() const = 0;
    // units × sizeof(T) bytes, contents not kept.
    virtual void Reallocate(const MemUnits& units) = 0;

    T* Data() { return data; }
    const T* Data() const { return data; }
    std::uint32_t Size() const { return size; }

protected:
    MMemory() : data(nullptr), size(0) {}

    T* data;
    std::uint32_t size;
};

// Owns a process-heap block allocated with the heap flags F (HEAP_ZERO_MEMORY makes every block
// start zeroed; HEAP_GENERATE_EXCEPTIONS is not applied, an exhausted heap raises
// MAtomException (8, 8)). Reallocation frees first; on failure the object holds no block.
template <typename T, DWORD F> class MMemoryPH : public MMemory<T> {
public:
    explicit MMemoryPH(std::uint32_t bytes) : heap(GetProcessHeap()) { Allocate(bytes); }
    ~MMemoryPH() override { FreeHeapBlock(heap, this->data); }

    bool OwnsElements() const override { return true; }
    void Reallocate(const typename MMemory<T>::MemUnits& units) override
    {
        FreeHeapBlock(heap, this->data);
        this->data = nullptr;
        this->size = 0;
        Allocate(UnitNarrow<std::uint32_t>(static_cast<std::uint64_t>(units.Units()) * sizeof(T)));
    }

private:
    void Allocate(std::uint32_t bytes)
    {
        this->data = static_cast<T*>(AllocateHeapBlock(heap, F, bytes));
        this->size = bytes;
    }

    HANDLE heap;
};

#endif
