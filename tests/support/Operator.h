// Drives the program's windows the way a user would, from a test: from another thread of the
// same process or from another process. Windows are found by class, caption and owner and
// controls by id; every read goes through SendMessageTimeoutW (the window's thread may be busy)
// and every press is posted (a sent click that opens a modal box would block the operator).
//
// Each wait polls about every 20 ms until the operator's time-out. Failures come back as
// results with a readable message that lists the top-level windows present at that moment.
#ifndef KDM_TESTS_SUPPORT_OPERATOR_H
#define KDM_TESTS_SUPPORT_OPERATOR_H

#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kdm_test {

struct WindowInfo {
    HWND hwnd = nullptr;
    std::wstring className;
    std::wstring caption;
    HWND owner = nullptr;
    DWORD processId = 0;
    bool visible = false;
    bool enabled = false;
};

// Every top-level window of the desktop (owned windows included), in Z order.
std::vector<WindowInfo> TopLevelWindows();
// One line per visible top-level window, and per hidden dialog (#32770), for failure messages.
std::string DescribeTopLevelWindows();

struct OperatorResult {
    bool ok = false;
    std::string message; // why it failed; empty on success
    explicit operator bool() const { return ok; }
    static OperatorResult Success() { return OperatorResult{true, std::string()}; }
    static OperatorResult Failure(const std::string& message)
    {
        return OperatorResult{false, message};
    }
};

// What a window must be to match. Empty className matches any class.
struct WindowQuery {
    std::wstring className = L"#32770";
    bool matchCaption = false;
    std::wstring caption;
    bool captionContains = false; // caption is a part of the window's caption, not all of it
    bool matchOwner = false;
    HWND owner = nullptr; // with matchOwner: the owner (GW_OWNER) it must have; null for none
    DWORD processId = 0;  // 0 for any process
    bool visibleOnly = true;
    std::vector<HWND> exclude;

    static WindowQuery DialogWithCaption(const std::wstring& caption);
    static WindowQuery DialogOwnedBy(HWND owner);
    WindowQuery& OwnedBy(HWND owner);
    WindowQuery& WithCaption(const std::wstring& caption);
    WindowQuery& CaptionContaining(const std::wstring& part);
    WindowQuery& InProcess(DWORD processId);
    WindowQuery& Excluding(HWND window);
    bool Matches(const WindowInfo& window) const;
    std::string Describe() const;
};

struct FoundWindow {
    HWND hwnd = nullptr;
    std::string message;
    explicit operator bool() const { return hwnd != nullptr; }
};

struct ControlState {
    HWND hwnd = nullptr;
    bool exists = false;
    bool visible = false;
    bool enabled = false;
    std::wstring text;
    RECT screenRect{};
};

struct MessageBoxInfo {
    HWND hwnd = nullptr;
    HWND owner = nullptr;
    std::wstring caption;
    std::wstring text;        // static 0xFFFF, line breaks kept
    bool hasIcon = false;     // icon control 0x0440 present and visible
    std::vector<int> buttons; // ids of the visible buttons among IDOK (1) .. IDCONTINUE (11)
    int focusedButton = 0;    // id of the button with the keyboard focus, 0 when unknown
    std::string message;      // why the box was not found or read

    explicit operator bool() const { return hwnd != nullptr; }
    bool HasButton(int id) const;
    std::string Describe() const;
};

struct SaveAsInfo {
    HWND frame = nullptr;
    HWND owner = nullptr;
    std::wstring caption;
    std::wstring fileName; // the file name box (cmb13) when the dialog was found
    std::string message;
    explicit operator bool() const { return frame != nullptr; }
};

// Control ids of the Explorer-style Save As dialog.
const int kSaveAsFileNameBox = 0x047C; // cmb13, a ComboBoxEx32
// Control ids of a message box.
const int kMessageBoxText = 0xFFFF;
const int kMessageBoxIcon = 0x0440;

class Operator {
public:
    explicit Operator(DWORD timeoutMs = 10000) : timeoutMs(timeoutMs) {}
    void SetTimeout(DWORD timeout) { timeoutMs = timeout; }
    DWORD Timeout() const { return timeoutMs; }

    // Waits for the first window that matches.
    FoundWindow WaitForWindow(const WindowQuery& query) const;
    // A visible #32770 with exactly this caption; owner null means any owner.
    FoundWindow WaitForDialog(const std::wstring& caption, HWND owner = nullptr) const;
    // Waits until the window is destroyed or hidden.
    OperatorResult WaitUntilGone(HWND window) const;

    // The window's text; false with `error` set when the window is gone or does not answer.
    bool TryReadText(HWND window, std::wstring& text, std::string& error) const;
    // The window's text, or a marker such as "<no window>" that no real text equals.
    std::wstring Text(HWND window) const;
    std::wstring ItemText(HWND dialog, int id) const;
    ControlState Item(HWND dialog, int id) const;
    OperatorResult SetItemText(HWND dialog, int id, const std::wstring& text) const;

    // Clicks a button as a user could: it must exist, be visible and be enabled. Posts
    // WM_COMMAND (BN_CLICKED) to the dialog and returns without waiting for its effect.
    OperatorResult PressButton(HWND dialog, int id) const;
    // Posts WM_COMMAND with this id without any check (for what no user could do).
    OperatorResult PostCommand(HWND dialog, int id) const;
    // Posts the close box's WM_SYSCOMMAND SC_CLOSE.
    OperatorResult PressCloseBox(HWND window) const;
    // Posts a key press and release to the control that has the focus in the window's thread
    // (or to the window), where the dialog's message loop handles it as typed.
    OperatorResult PressKey(HWND window, UINT virtualKey) const;

    // Waits for a visible message box owned by `owner` (null: any owner).
    MessageBoxInfo WaitForMessageBox(HWND owner) const;
    MessageBoxInfo ReadMessageBox(HWND box) const;
    // Answers with a button the box has and that is enabled, then waits until the box is gone.
    OperatorResult Answer(const MessageBoxInfo& box, int buttonId) const;

    // Waits for the Save As frame with this caption (lpstrTitle) owned by `owner`.
    SaveAsInfo WaitForSaveAs(HWND owner, const std::wstring& caption) const;
    OperatorResult SetSaveAsFileName(const SaveAsInfo& dialog, const std::wstring& fileName) const;
    std::wstring SaveAsFileName(const SaveAsInfo& dialog) const;
    // Posts IDOK: saves under the name in the box (the overwrite prompt may follow).
    OperatorResult Save(const SaveAsInfo& dialog) const;
    // Posts IDCANCEL and waits until the frame is gone.
    OperatorResult CancelSaveAs(const SaveAsInfo& dialog) const;
    // The "replace it?" box: owned by the Save As frame, with the frame's caption.
    MessageBoxInfo WaitForOverwritePrompt(const SaveAsInfo& dialog) const;

private:
    DWORD timeoutMs;
};

} // namespace kdm_test

#endif
