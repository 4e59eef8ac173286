#include "tests/app/DialogRun.h"

#include "app/EntryPoints.h"

namespace kdm_test {

DialogRun::DialogRun(Entry entry, const wchar_t* osVersion, RECT ownerRect)
    : entry_(entry), osVersion_(osVersion), ownerRect_(ownerRect)
{
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &DialogRun::ThreadProc, this, 0, nullptr);
    WaitForSingleObject(ready_, 10000);
}

DialogRun::~DialogRun()
{
    Finish(10000);
    CloseHandle(thread_);
    CloseHandle(ready_);
}

bool DialogRun::Finish(DWORD timeoutMs)
{
    return WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI DialogRun::ThreadProc(void* parameter)
{
    static_cast<DialogRun*>(parameter)->Run();
    return 0;
}

void DialogRun::Run()
{
    if (entry_ != Entry::Program) {
        owner_ =
            CreateWindowExW(0, L"STATIC", L"Installer", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                            ownerRect_.left, ownerRect_.top, ownerRect_.right - ownerRect_.left,
                            ownerRect_.bottom - ownerRect_.top, nullptr, nullptr, nullptr, nullptr);
    }
    SetEvent(ready_);
    switch (entry_) {
    case Entry::DownloadFile:
        result_ = DownloadFile(owner_);
        break;
    case Entry::DownloadFileForInstaller:
        result_ = DownloadFileForInstaller(owner_, osVersion_);
        break;
    case Entry::Program:
        result_ = RunProgram(GetModuleHandleW(nullptr));
        break;
    }
    MSG message{};
    quitSeen_ = PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    quitCode_ = message.wParam;
    if (owner_ != nullptr) {
        DestroyWindow(owner_);
    }
}

} // namespace kdm_test
