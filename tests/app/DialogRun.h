// One run of an entry point on a thread of its own, with an owner window made on that thread as
// an installer's window would be. Used by the dialog tests together with ScriptedStart.cpp.
#pragma once

#include <windows.h>

namespace kdm_test {

enum class Entry { DownloadFile, DownloadFileForInstaller, Program };

class DialogRun {
public:
    // The owner (not for Entry::Program) is a visible window at ownerRect, in screen coordinates.
    explicit DialogRun(Entry entry, const wchar_t* osVersion = nullptr,
                       RECT ownerRect = RECT{40, 60, 940, 660});
    ~DialogRun();
    DialogRun(const DialogRun&) = delete;
    DialogRun& operator=(const DialogRun&) = delete;

    HWND Owner() const { return owner_; }
    // Waits for the entry point to return; false when it did not within timeoutMs.
    bool Finish(DWORD timeoutMs);
    // Read after Finish.
    int Result() const { return result_; }
    bool QuitMessageSeen() const { return quitSeen_; }
    WPARAM QuitCode() const { return quitCode_; }

private:
    static DWORD WINAPI ThreadProc(void* parameter);
    void Run();

    Entry entry_;
    const wchar_t* osVersion_;
    RECT ownerRect_;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    HWND owner_ = nullptr;
    int result_ = -100;
    bool quitSeen_ = false;
    WPARAM quitCode_ = 0;
};

} // namespace kdm_test
