// Holders of Win32 handles and scoped release guards. None of them throws; the results of
// CloseHandle, FreeLibrary, InternetCloseHandle and FindClose are returned, not checked. None can
// be copied, so a handle is closed by exactly one owner.
#pragma once

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
// empty test, the empty value and the release call.
template <typename Traits>
class ScopedRelease {
public:
    using Handle = typename Traits::Handle;

    explicit ScopedRelease(Handle handle) : handle_(handle) {}
    ~ScopedRelease() { Release(); }
    ScopedRelease(const ScopedRelease&) = delete;
    ScopedRelease& operator=(const ScopedRelease&) = delete;

    Handle Get() const { return handle_; }
    bool IsEmpty() const { return Traits::IsEmpty(handle_); }
    BOOL Release()
    {
        if (IsEmpty()) {
            return FALSE;
        }
        const BOOL result = Traits::Free(handle_);
        handle_ = Traits::Empty();
        return result;
    }

private:
    Handle handle_;
};

struct ModuleRelease {
    using Handle = HMODULE;
    static bool IsEmpty(HMODULE module) { return module == nullptr; }
    static HMODULE Empty() { return nullptr; }
    static BOOL Free(HMODULE module) { return FreeLibrary(module); }
};

struct InternetHandleRelease {
    using Handle = HINTERNET;
    static bool IsEmpty(HINTERNET internet) { return internet == nullptr; }
    static HINTERNET Empty() { return nullptr; }
    static BOOL Free(HINTERNET internet) { return InternetCloseHandle(internet); }
};

// A FindFirstFileW result: both INVALID_HANDLE_VALUE and null are empty.
struct FindRelease {
    using Handle = HANDLE;
    static bool IsEmpty(HANDLE find) { return find == INVALID_HANDLE_VALUE || find == nullptr; }
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static BOOL Free(HANDLE find) { return FindClose(find); }
};

using ModuleGuard = ScopedRelease<ModuleRelease>;
using InternetHandleGuard = ScopedRelease<InternetHandleRelease>;
using FindGuard = ScopedRelease<FindRelease>;

// Leaves a critical section on Leave or at the end of the scope, but only when `entered` said it
// was entered (pass the result of TryEnterCriticalSection, or true after EnterCriticalSection).
class CriticalSectionGuard {
public:
    CriticalSectionGuard(CRITICAL_SECTION& section, bool entered)
        : section_(&section), entered_(entered)
    {
    }
    ~CriticalSectionGuard() { Leave(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

    bool IsEntered() const { return entered_; }
    void Leave()
    {
        if (entered_) {
            entered_ = false;
            LeaveCriticalSection(section_);
        }
    }

private:
    CRITICAL_SECTION* section_;
    bool entered_;
};
