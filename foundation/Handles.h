// Holders of Win32 handles and scoped release guards. None of them throws; the results of
// CloseHandle, FreeLibrary, InternetCloseHandle, FindClose and the other release calls are
// returned, not checked. None can be copied, so a handle is closed by exactly one owner.
#ifndef KDM_FOUNDATION_HANDLES_H
#define KDM_FOUNDATION_HANDLES_H

#include <windows.h>
#include <wininet.h>

// Refers to a handle owned elsewhere and never closes it. INVALID_HANDLE_VALUE (-1) means none.
class MRefHandle {
public:
    explicit MRefHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle(handle) {}
    // Forgets the handle without closing it.
    virtual ~MRefHandle() { handle = INVALID_HANDLE_VALUE; }
    MRefHandle(const MRefHandle&) = delete;
    MRefHandle& operator=(const MRefHandle&) = delete;

    HANDLE Get() const { return handle; }
    // True when a handle is held: neither -1 nor 0.
    bool IsValid() const { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
    // Lets go of the handle (this class only forgets it) and holds -1. Returns TRUE unless an
    // owning close failed. Safe to call twice.
    virtual BOOL Close()
    {
        handle = INVALID_HANDLE_VALUE;
        return TRUE;
    }
    // Lets go of the current handle as Close does, then holds `replacement`.
    void Reset(HANDLE replacement)
    {
        Close();
        handle = replacement;
    }

protected:
    HANDLE handle;
};

// Owns a kernel handle: closes it on Close and on destruction. Both -1 and 0 mean none, and
// nothing is closed for them.
class MHandle : public MRefHandle {
public:
    explicit MHandle(HANDLE handle = INVALID_HANDLE_VALUE) : MRefHandle(handle) {}
    ~MHandle() override { MHandle::Close(); }

    // CloseHandle's result, or TRUE when nothing was held.
    BOOL Close() override
    {
        BOOL result = TRUE;
        if (IsValid()) {
            result = CloseHandle(handle);
        }
        handle = INVALID_HANDLE_VALUE;
        return result;
    }
};

// Releases one handle when it goes out of scope or on Release, then holds the empty value.
// Releasing an empty guard calls nothing and returns FALSE. Traits name the handle type, the
// empty test, the empty value and the release call, which returns TRUE when the release
// succeeded. A guard can be moved (the source then holds the empty value), never copied.
template <typename Traits> class ScopedRelease {
public:
    using Handle = typename Traits::Handle;

    ScopedRelease() : handle(Traits::Empty()) {}
    explicit ScopedRelease(Handle handle) : handle(handle) {}
    ~ScopedRelease() { Release(); }
    ScopedRelease(const ScopedRelease&) = delete;
    ScopedRelease& operator=(const ScopedRelease&) = delete;
    ScopedRelease(ScopedRelease&& other) noexcept : handle(other.Detach()) {}
    ScopedRelease& operator=(ScopedRelease&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Detach());
        }
        return *this;
    }

    Handle Get() const { return handle; }
    bool IsEmpty() const { return Traits::IsEmpty(handle); }
    BOOL Release()
    {
        if (IsEmpty()) {
            return FALSE;
        }
        const BOOL result = Traits::Free(handle);
        handle = Traits::Empty();
        return result;
    }
    // Releases the current handle as Release does, then holds `replacement`.
    void Reset(Handle replacement)
    {
        Release();
        handle = replacement;
    }
    // Hands the handle to the caller without releasing it, and holds the empty value.
    Handle Detach()
    {
        const Handle held = handle;
        handle = Traits::Empty();
        return held;
    }

private:
    Handle handle;
};

// The empty value and its test for the handle types whose empty value is null; a trait that
// derives from it names only the release call.
template <typename H> struct NullIsEmpty {
    using Handle = H;
    static bool IsEmpty(H handle) { return handle == nullptr; }
    static H Empty() { return nullptr; }
};

// The same for the handle types that are integers whose empty value is 0 (CryptoAPI's).
template <typename H> struct ZeroIsEmpty {
    using Handle = H;
    static bool IsEmpty(H handle) { return handle == 0; }
    static H Empty() { return 0; }
};

struct ModuleRelease : NullIsEmpty<HMODULE> {
    static BOOL Free(HMODULE module) { return FreeLibrary(module); }
};

struct InternetHandleRelease : NullIsEmpty<HINTERNET> {
    static BOOL Free(HINTERNET internet) { return InternetCloseHandle(internet); }
};

// The empty value and its test for the handles whose failure value is INVALID_HANDLE_VALUE: both
// that and null are empty.
struct InvalidIsEmpty {
    using Handle = HANDLE;
    static bool IsEmpty(HANDLE handle)
    {
        return handle == INVALID_HANDLE_VALUE || handle == nullptr;
    }
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
};

// A FindFirstFileW result.
struct FindRelease : InvalidIsEmpty {
    static BOOL Free(HANDLE find) { return FindClose(find); }
};

// A CreateActCtxW result; releasing it has no result.
struct ActivationContextRelease : InvalidIsEmpty {
    static BOOL Free(HANDLE context)
    {
        ReleaseActCtx(context);
        return TRUE;
    }
};

// The cookie of an ActivateActCtx on this thread (never 0): deactivates that activation.
struct ActivationRelease {
    using Handle = ULONG_PTR;
    static bool IsEmpty(ULONG_PTR cookie) { return cookie == 0; }
    static ULONG_PTR Empty() { return 0; }
    static BOOL Free(ULONG_PTR cookie) { return DeactivateActCtx(0, cookie); }
};

struct RegistryKeyRelease : NullIsEmpty<HKEY> {
    static BOOL Free(HKEY key) { return RegCloseKey(key) == ERROR_SUCCESS; }
};

// A GlobalAlloc block. GlobalFree returns null when it succeeded.
struct GlobalMemoryRelease : NullIsEmpty<HGLOBAL> {
    static BOOL Free(HGLOBAL block) { return GlobalFree(block) == nullptr; }
};

// A SID of AllocateAndInitializeSid. FreeSid returns null when it succeeded.
struct SidRelease : NullIsEmpty<PSID> {
    static BOOL Free(PSID sid) { return FreeSid(sid) == nullptr; }
};

// A TlsAlloc index. 0 is a valid index; TLS_OUT_OF_INDEXES is the failed allocation.
struct TlsSlotRelease {
    using Handle = DWORD;
    static bool IsEmpty(DWORD index) { return index == TLS_OUT_OF_INDEXES; }
    static DWORD Empty() { return TLS_OUT_OF_INDEXES; }
    static BOOL Free(DWORD index) { return TlsFree(index); }
};

// A critical section that InitializeCriticalSection prepared; deleting it has no result.
struct CriticalSectionDeletion : NullIsEmpty<CRITICAL_SECTION*> {
    static BOOL Free(CRITICAL_SECTION* section)
    {
        DeleteCriticalSection(section);
        return TRUE;
    }
};

// A critical section that this thread entered; leaving it has no result.
struct CriticalSectionLeave : NullIsEmpty<CRITICAL_SECTION*> {
    static BOOL Free(CRITICAL_SECTION* section)
    {
        LeaveCriticalSection(section);
        return TRUE;
    }
};

using ModuleGuard = ScopedRelease<ModuleRelease>;
using InternetHandleGuard = ScopedRelease<InternetHandleRelease>;
using FindGuard = ScopedRelease<FindRelease>;
using RegistryKeyGuard = ScopedRelease<RegistryKeyRelease>;
using GlobalMemoryGuard = ScopedRelease<GlobalMemoryRelease>;
using SidGuard = ScopedRelease<SidRelease>;
using TlsSlotGuard = ScopedRelease<TlsSlotRelease>;
using CriticalSectionLifetime = ScopedRelease<CriticalSectionDeletion>;
using ActivationContextGuard = ScopedRelease<ActivationContextRelease>;
using ActivationGuard = ScopedRelease<ActivationRelease>;

// Leaves a critical section on Leave or at the end of the scope, but only when it was entered.
// Taken by Enter or TryEnter.
class CriticalSectionGuard {
public:
    // Waits until the section is free and enters it.
    static CriticalSectionGuard Enter(CRITICAL_SECTION& section)
    {
        EnterCriticalSection(&section);
        return CriticalSectionGuard(&section);
    }
    // Enters the section only when no other thread holds it; IsEntered tells which.
    static CriticalSectionGuard TryEnter(CRITICAL_SECTION& section)
    {
        return CriticalSectionGuard(TryEnterCriticalSection(&section) ? &section : nullptr);
    }

    bool IsEntered() const { return !entered.IsEmpty(); }
    // Leaves the section if it is still entered; safe to call twice.
    void Leave() { entered.Release(); }

private:
    explicit CriticalSectionGuard(CRITICAL_SECTION* entered) : entered(entered) {}

    ScopedRelease<CriticalSectionLeave> entered;
};

#endif
