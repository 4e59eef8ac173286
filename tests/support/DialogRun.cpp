#include "tests/support/DialogRun.h"

#include <utility>

namespace kdm_test {

DialogRun::DialogRun(EntryCall entry, OwnerWindow owner, RECT ownerRect)
    : entry_(std::move(entry)), makesOwner_(owner == OwnerWindow::Made), ownerRect_(ownerRect),
      ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    // Started only once every member is initialised: the thread writes to them.
    thread_ = CreateThread(nullptr, 0, &DialogRun::ThreadProc, this, 0, nullptr);
    WaitForSingleObject(ready_, 10000);
}

DialogRun::~DialogRun()
{
    Finish(60000);
    CloseHandle(thread_);
    CloseHandle(ready_);
}

bool DialogRun::Finish(DWORD timeoutMs)
{
    return WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI DialogRun::ThreadProc(void* parameter)
{
    DialogRun* run = static_cast<DialogRun*>(parameter);
    if (run->makesOwner_) {
        const RECT& rect = run->ownerRect_;
        run->owner_ = CreateWindowExW(0, L"STATIC", L"Installer", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      rect.left, rect.top, rect.right - rect.left,
                                      rect.bottom - rect.top, nullptr, nullptr, nullptr, nullptr);
    }
    SetEvent(run->ready_);
    run->result_ = run->entry_(run->owner_);
    MSG message{};
    run->quitSeen_ = PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    run->quitCode_ = message.wParam;
    if (run->owner_ != nullptr) {
        DestroyWindow(run->owner_);
    }
    return 0;
}

} // namespace kdm_test
