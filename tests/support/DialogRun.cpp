#include "tests/support/DialogRun.h"
#include "tests/support/WaitUntil.h"

#include <utility>

namespace kdm_test {

DialogRun::DialogRun(EntryCall entry, OwnerWindow owner, RECT ownerRect)
    : entry(std::move(entry)), makesOwner(owner == OwnerWindow::Made), ownerRect(ownerRect),
      ready(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    // Started only once every member is initialised: the thread writes to them.
    thread = CreateThread(nullptr, 0, &DialogRun::ThreadProc, this, 0, nullptr);
    WaitForSingleObject(ready, kdm_test::ScaledMs(10000));
}

DialogRun::~DialogRun()
{
    Finish(60000);
    CloseHandle(thread);
    CloseHandle(ready);
}

bool DialogRun::Finish(DWORD timeoutMs)
{
    return WaitForSingleObject(thread, ScaledMs(timeoutMs)) == WAIT_OBJECT_0;
}

DWORD WINAPI DialogRun::ThreadProc(void* parameter)
{
    DialogRun* run = static_cast<DialogRun*>(parameter);
    if (run->makesOwner) {
        const RECT& rect = run->ownerRect;
        run->owner = CreateWindowExW(0, L"STATIC", L"Installer", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                     rect.left, rect.top, rect.right - rect.left,
                                     rect.bottom - rect.top, nullptr, nullptr, nullptr, nullptr);
    }
    SetEvent(run->ready);
    run->result = run->entry(run->owner);
    MSG message{};
    run->quitSeen = PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    run->quitCode = message.wParam;
    if (run->owner != nullptr) {
        DestroyWindow(run->owner);
    }
    return 0;
}

} // namespace kdm_test
