// The user of the demo when there is no display to show it on: starts the program, accepts the
// file name that its Save As dialog proposes, answers Yes to every question (OK to a notice),
// prints what it sees, and ends with the program's exit code (100 when it could not drive it).
//
// Usage: demo_operator.exe PROGRAM.exe
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/support/Operator.h"
#include "tests/support/TextUtil.h"
#include "tests/support/Win32Holders.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace kdm_test;

const wchar_t kDialogCaption[] = L"Kestrune Download Manager";
const wchar_t kSaveAsCaption[] =
    L"Kestrune Download Manager - Please select convenient download folder and filename";
const int kOperatorFailed = 100;
// Time each window stays up before the operator acts, so that the demo's screenshots and a
// watcher see it.
const DWORD kReadingTimeMs = 1500;

void Say(const std::wstring& text)
{
    std::printf("   operator: %s\n", ToUtf8(text).c_str());
    std::fflush(stdout);
}

// Answers every message box of the process until the process ends.
void AnswerQuestionsUntilExit(const Operator& op, HANDLE process, DWORD processId)
{
    while (WaitForSingleObject(process, kdm_test::ScaledMs(100)) == WAIT_TIMEOUT) {
        for (const WindowInfo& window : TopLevelWindows()) {
            if (!window.visible || window.className != L"#32770" || window.processId != processId ||
                window.caption == kDialogCaption || window.caption == kSaveAsCaption) {
                continue;
            }
            const MessageBoxInfo box = op.ReadMessageBox(window.hwnd);
            if (!box) {
                continue;
            }
            const int answer = box.HasButton(IDYES) ? IDYES : IDOK;
            Say(L"message box \"" + box.caption + L"\":\n      " + box.text);
            Sleep(kReadingTimeMs);
            Say(answer == IDYES ? L"answering Yes" : L"answering OK");
            if (!op.Answer(box, answer)) {
                Say(L"the box did not take the answer");
            }
        }
    }
}

int Run(const std::wstring& program)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        const DWORD error = GetLastError();
        Say(L"cannot start " + program + L": " + FromUtf8(Win32ErrorText(error)));
        return kOperatorFailed;
    }
    CloseHandle(info.hThread);
    const HandleHolder process(info.hProcess);

    Operator op(60000);
    const FoundWindow dialog = op.WaitForWindow(
        WindowQuery::DialogWithCaption(kDialogCaption).InProcess(info.dwProcessId));
    if (!dialog) {
        Say(L"the download dialog did not appear: " + FromUtf8(dialog.message));
        TerminateProcess(process.Get(), kOperatorFailed);
        return kOperatorFailed;
    }
    Say(L"the download dialog is up");
    const SaveAsInfo saveAs = op.WaitForSaveAs(dialog.hwnd, kSaveAsCaption);
    if (!saveAs) {
        Say(L"the Save As dialog did not appear: " + FromUtf8(saveAs.message));
        TerminateProcess(process.Get(), kOperatorFailed);
        return kOperatorFailed;
    }
    Say(L"Save As proposes \"" + saveAs.fileName + L"\": accepting it");
    Sleep(kReadingTimeMs);
    if (!op.Save(saveAs)) {
        Say(L"the Save As dialog did not take the click");
        TerminateProcess(process.Get(), kOperatorFailed);
        return kOperatorFailed;
    }
    AnswerQuestionsUntilExit(op, process.Get(), info.dwProcessId);

    DWORD exitCode = kOperatorFailed;
    GetExitCodeProcess(process.Get(), &exitCode);
    return static_cast<int>(exitCode);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: demo_operator.exe PROGRAM.exe\n");
        return kOperatorFailed;
    }
    try {
        return Run(argv[1]);
    } catch (...) {
        Say(L"stopped by an unexpected error");
        return kOperatorFailed;
    }
}
