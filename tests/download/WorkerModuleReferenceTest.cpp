// The module reference of a run's worker thread. A host may free the module as soon as the call
// that started the run has returned: the worker must hold its reference from the moment its
// thread exists, not from when the thread first runs.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "foundation/SystemLibraries.h"

namespace {

using StartWorkerFunction = BOOL (*)();
using LockLoaderLockFunction = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
using UnlockLoaderLockFunction = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

// Every new thread runs the libraries' thread-attach notifications under the loader lock before
// its own first instruction. While this thread holds the lock (it may take it again: loading and
// freeing libraries go on here), a thread created meanwhile exists but has run none of its code,
// whatever order the scheduler chooses.
class LoaderLock {
public:
    LoaderLock()
    {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        const LockLoaderLockFunction lock =
            GetProcAddressAs<LockLoaderLockFunction>(ntdll, "LdrLockLoaderLock");
        unlock = GetProcAddressAs<UnlockLoaderLockFunction>(ntdll, "LdrUnlockLoaderLock");
        held = lock != nullptr && unlock != nullptr && lock(0, nullptr, &cookie) >= 0;
    }
    ~LoaderLock()
    {
        if (held) {
            unlock(0, cookie);
        }
    }
    LoaderLock(const LoaderLock&) = delete;
    LoaderLock& operator=(const LoaderLock&) = delete;

    bool Held() const { return held; }

private:
    UnlockLoaderLockFunction unlock = nullptr;
    ULONG_PTR cookie = 0;
    bool held = false;
};

std::wstring WorkerModulePath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.rfind(L'\\') + 1) + L"worker_module.dll";
}

std::set<DWORD> ThreadsOfThisProcess()
{
    std::set<DWORD> threads;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL found = Thread32First(snapshot, &entry); found;
         found = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            threads.insert(entry.th32ThreadID);
        }
    }
    CloseHandle(snapshot);
    return threads;
}

// Ends the threads that did not exist before: a worker whose module is gone would otherwise run
// into unmapped code once the loader lock is left.
void EndThreadsStartedSince(const std::set<DWORD>& before)
{
    for (const DWORD id : ThreadsOfThisProcess()) {
        if (before.count(id) == 0) {
            const HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, id);
            TerminateThread(thread, 1);
            CloseHandle(thread);
        }
    }
}

bool WaitUntilUnloaded(const std::wstring& path, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        if (GetModuleHandleW(path.c_str()) == nullptr) {
            return true;
        }
        Sleep(20);
    }
    return GetModuleHandleW(path.c_str()) == nullptr;
}

TEST(WorkerModuleReference, IsHeldBeforeTheWorkerRunsSoTheHostMayFreeTheModuleAtOnce)
{
    const std::wstring path = WorkerModulePath();
    const HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr) << "cannot load the test module, error " << GetLastError();
    const StartWorkerFunction startWorker =
        GetProcAddressAs<StartWorkerFunction>(module, "StartWorkerWithoutDialog");
    ASSERT_NE(startWorker, nullptr);

    const std::set<DWORD> before = ThreadsOfThisProcess();
    {
        LoaderLock lock;
        ASSERT_TRUE(lock.Held());
        ASSERT_TRUE(startWorker());
        // The host's own reference goes; the worker's thread exists and has not run yet.
        FreeLibrary(module);
        const bool loaded = GetModuleHandleW(path.c_str()) != nullptr;
        if (!loaded) {
            EndThreadsStartedSince(before);
        }
        ASSERT_TRUE(loaded) << "the module was unloaded while its worker had not run yet";
    }
    // The worker ends its run and gives back the one reference taken for it, so the module goes.
    EXPECT_TRUE(WaitUntilUnloaded(path, 10000)) << "the module stays loaded after its worker";
}

} // namespace
