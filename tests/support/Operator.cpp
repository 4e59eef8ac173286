#include "tests/support/Operator.h"

#include <cstdio>

#include "tests/support/TextUtil.h"
#include "tests/support/WaitUntil.h"

namespace kdm_test {

namespace {

// Longest time a single read may wait for a busy window thread, at native speed (ScaledMs). The
// reads do not abort early on a thread that looks hung: under emulation a thread that is only
// slow (a Save As dialog filling its views) passes for hung, and the read would fail at once.
const UINT kReadTimeoutMs = 2000;

std::string HexHandle(HWND window)
{
    char text[32] = {};
    std::snprintf(text, sizeof(text), "0x%08lx",
                  static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(window)));
    return text;
}

std::wstring ClassNameOf(HWND window)
{
    wchar_t name[256] = {};
    const int length = GetClassNameW(window, name, 256);
    return std::wstring(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// Reads a window's text without blocking on a hung or busy thread for longer than kReadTimeoutMs.
bool ReadWindowText(HWND window, std::wstring& text, std::string& error)
{
    if (!IsWindow(window)) {
        error = "window " + HexHandle(window) + " does not exist";
        return false;
    }
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, ScaledMs(kReadTimeoutMs),
                             &length)) {
        error = "window " + HexHandle(window) +
                " did not answer WM_GETTEXTLENGTH: " + Win32ErrorText(GetLastError());
        return false;
    }
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(),
                             reinterpret_cast<LPARAM>(buffer.data()), SMTO_BLOCK,
                             ScaledMs(kReadTimeoutMs), &copied)) {
        error = "window " + HexHandle(window) +
                " did not answer WM_GETTEXT: " + Win32ErrorText(GetLastError());
        return false;
    }
    text.assign(buffer.data(),
                copied < buffer.size() ? static_cast<std::size_t>(copied) : buffer.size() - 1);
    return true;
}

// The caption as stored by the window manager. It sends no message, so a window whose thread
// is busy or does not pump messages (Wine has several) cannot stall a search.
std::wstring StoredCaption(HWND window)
{
    wchar_t caption[1024] = {};
    const int length = InternalGetWindowText(window, caption, 1024);
    return std::wstring(caption, length > 0 ? static_cast<std::size_t>(length) : 0);
}

WindowInfo DescribeWindow(HWND window)
{
    WindowInfo info;
    info.hwnd = window;
    info.className = ClassNameOf(window);
    info.caption = StoredCaption(window);
    info.owner = GetWindow(window, GW_OWNER);
    GetWindowThreadProcessId(window, &info.processId);
    info.visible = IsWindowVisible(window) != FALSE;
    info.enabled = IsWindowEnabled(window) != FALSE;
    return info;
}

BOOL CALLBACK CollectTopLevelWindow(HWND window, LPARAM parameter)
{
    try {
        reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

std::vector<HWND> TopLevelHandles()
{
    std::vector<HWND> windows;
    EnumWindows(CollectTopLevelWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// The first top-level window that `matches` within timeoutMs, or null when none did.
template <typename Matches> HWND WaitForTopLevel(Matches matches, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND window : TopLevelHandles()) {
                if (matches(window)) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool IsMessageBox(HWND window)
{
    return GetDlgItem(window, kMessageBoxText) != nullptr &&
           GetDlgItem(window, kSaveAsFileNameBox) == nullptr;
}

bool IsSaveAsFrame(HWND window)
{
    return GetDlgItem(window, kSaveAsFileNameBox) != nullptr;
}

bool Contains(const std::vector<int>& values, int value)
{
    for (int candidate : values) {
        if (candidate == value) {
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<WindowInfo> TopLevelWindows()
{
    std::vector<WindowInfo> windows;
    for (HWND window : TopLevelHandles()) {
        windows.push_back(DescribeWindow(window));
    }
    return windows;
}

std::string DescribeTopLevelWindows()
{
    std::string text = "top-level windows:\n";
    for (const WindowInfo& window : TopLevelWindows()) {
        if (!window.visible && window.className != L"#32770") {
            continue;
        }
        text += "  " + HexHandle(window.hwnd) + " " + ToUtf8(window.className) + " \"" +
                ToUtf8(window.caption) + "\" owner " + HexHandle(window.owner) + " pid " +
                std::to_string(window.processId) + (window.visible ? " visible" : " hidden") +
                (window.enabled ? " enabled" : " disabled") + "\n";
    }
    return text;
}

WindowQuery WindowQuery::DialogWithCaption(const std::wstring& caption)
{
    WindowQuery query;
    return query.WithCaption(caption);
}

WindowQuery WindowQuery::DialogOwnedBy(HWND owner)
{
    WindowQuery query;
    return query.OwnedBy(owner);
}

WindowQuery& WindowQuery::OwnedBy(HWND window)
{
    matchOwner = true;
    owner = window;
    return *this;
}

WindowQuery& WindowQuery::WithCaption(const std::wstring& text)
{
    matchCaption = true;
    captionContains = false;
    caption = text;
    return *this;
}

WindowQuery& WindowQuery::CaptionContaining(const std::wstring& part)
{
    matchCaption = true;
    captionContains = true;
    caption = part;
    return *this;
}

WindowQuery& WindowQuery::InProcess(DWORD id)
{
    processId = id;
    return *this;
}

WindowQuery& WindowQuery::Excluding(HWND window)
{
    exclude.push_back(window);
    return *this;
}

bool WindowQuery::Matches(const WindowInfo& window) const
{
    for (HWND excluded : exclude) {
        if (excluded == window.hwnd) {
            return false;
        }
    }
    if (!className.empty() && className != window.className) {
        return false;
    }
    if (visibleOnly && !window.visible) {
        return false;
    }
    if (matchOwner && window.owner != owner) {
        return false;
    }
    if (processId != 0 && window.processId != processId) {
        return false;
    }
    if (matchCaption) {
        if (captionContains ? window.caption.find(caption) == std::wstring::npos
                            : window.caption != caption) {
            return false;
        }
    }
    return true;
}

std::string WindowQuery::Describe() const
{
    std::string text = visibleOnly ? "a visible " : "a ";
    text += className.empty() ? std::string("window") : ToUtf8(className);
    if (matchCaption) {
        text += (captionContains ? " with a caption containing \"" : " with the caption \"") +
                ToUtf8(caption) + "\"";
    }
    if (matchOwner) {
        text += " owned by " + HexHandle(owner);
    }
    if (processId != 0) {
        text += " of process " + std::to_string(processId);
    }
    return text;
}

bool MessageBoxInfo::HasButton(int id) const
{
    return Contains(buttons, id);
}

std::string MessageBoxInfo::Describe() const
{
    if (hwnd == nullptr) {
        return message;
    }
    std::string text = "message box " + HexHandle(hwnd) + " \"" + ToUtf8(caption) + "\": \"" +
                       ToUtf8(this->text) + "\", " + (hasIcon ? "icon" : "no icon") + ", buttons";
    for (int id : buttons) {
        text += " " + std::to_string(id);
    }
    return text;
}

FoundWindow Operator::WaitForWindow(const WindowQuery& query) const
{
    const HWND found = WaitForTopLevel(
        [&](HWND window) { return query.Matches(DescribeWindow(window)); }, timeoutMs);
    if (found == nullptr) {
        return FoundWindow{nullptr, "no " + query.Describe() + " appeared within " +
                                        std::to_string(timeoutMs) + " ms; " +
                                        DescribeTopLevelWindows()};
    }
    return FoundWindow{found, std::string()};
}

FoundWindow Operator::WaitForDialog(const std::wstring& caption, HWND owner) const
{
    WindowQuery query = WindowQuery::DialogWithCaption(caption);
    if (owner != nullptr) {
        query.OwnedBy(owner);
    }
    return WaitForWindow(query);
}

OperatorResult Operator::WaitUntilGone(HWND window) const
{
    if (!WaitUntil([window] { return !IsWindow(window) || !IsWindowVisible(window); }, timeoutMs)) {
        return OperatorResult::Failure("window " + HexHandle(window) + " \"" +
                                       ToUtf8(Text(window)) + "\" is still shown after " +
                                       std::to_string(timeoutMs) + " ms; " +
                                       DescribeTopLevelWindows());
    }
    return OperatorResult::Success();
}

bool Operator::TryReadText(HWND window, std::wstring& text, std::string& error) const
{
    return ReadWindowText(window, text, error);
}

std::wstring Operator::Text(HWND window) const
{
    std::wstring text;
    std::string error;
    if (!ReadWindowText(window, text, error)) {
        return IsWindow(window) ? L"<no answer>" : L"<no window>";
    }
    return text;
}

std::wstring Operator::ItemText(HWND dialog, int id) const
{
    const HWND item = GetDlgItem(dialog, id);
    if (item == nullptr) {
        return L"<no control " + std::to_wstring(id) + L">";
    }
    return Text(item);
}

ControlState Operator::Item(HWND dialog, int id) const
{
    ControlState state;
    state.hwnd = GetDlgItem(dialog, id);
    if (state.hwnd == nullptr) {
        return state;
    }
    state.exists = true;
    state.visible = IsWindowVisible(state.hwnd) != FALSE;
    state.enabled = IsWindowEnabled(state.hwnd) != FALSE;
    state.text = Text(state.hwnd);
    GetWindowRect(state.hwnd, &state.screenRect);
    return state;
}

OperatorResult Operator::SetItemText(HWND dialog, int id, const std::wstring& text) const
{
    const HWND item = GetDlgItem(dialog, id);
    if (item == nullptr) {
        return OperatorResult::Failure("window " + HexHandle(dialog) + " has no control " +
                                       std::to_string(id));
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                             SMTO_BLOCK, ScaledMs(kReadTimeoutMs), &result)) {
        return OperatorResult::Failure(
            "control " + std::to_string(id) +
            " did not answer WM_SETTEXT: " + Win32ErrorText(GetLastError()));
    }
    if (result != TRUE) {
        return OperatorResult::Failure("control " + std::to_string(id) + " refused WM_SETTEXT");
    }
    return OperatorResult::Success();
}

OperatorResult Operator::PressButton(HWND dialog, int id) const
{
    const ControlState button = Item(dialog, id);
    const std::string name = "button " + std::to_string(id) + " of " + HexHandle(dialog) + " \"" +
                             ToUtf8(Text(dialog)) + "\"";
    if (!button.exists) {
        return OperatorResult::Failure(name + " does not exist");
    }
    if (!button.visible) {
        return OperatorResult::Failure(name + " (\"" + ToUtf8(button.text) + "\") is hidden");
    }
    if (!button.enabled) {
        return OperatorResult::Failure(name + " (\"" + ToUtf8(button.text) + "\") is disabled");
    }
    if (!PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button.hwnd))) {
        return OperatorResult::Failure("posting a click of " + name +
                                       " failed: " + Win32ErrorText(GetLastError()));
    }
    return OperatorResult::Success();
}

OperatorResult Operator::PostCommand(HWND dialog, int id) const
{
    if (!PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)))) {
        return OperatorResult::Failure("posting command " + std::to_string(id) + " to " +
                                       HexHandle(dialog) +
                                       " failed: " + Win32ErrorText(GetLastError()));
    }
    return OperatorResult::Success();
}

OperatorResult Operator::PressCloseBox(HWND window) const
{
    if (!PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0)) {
        return OperatorResult::Failure("posting SC_CLOSE to " + HexHandle(window) +
                                       " failed: " + Win32ErrorText(GetLastError()));
    }
    return OperatorResult::Success();
}

OperatorResult Operator::PressKey(HWND window, UINT virtualKey) const
{
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    HWND target = window;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) &&
        info.hwndFocus != nullptr) {
        target = info.hwndFocus;
    }
    const UINT scanCode = MapVirtualKeyW(virtualKey, 0);
    const LPARAM down = 1 | static_cast<LPARAM>(scanCode << 16);
    const LPARAM up = down | (static_cast<LPARAM>(3) << 30);
    if (!PostMessageW(target, WM_KEYDOWN, virtualKey, down) ||
        !PostMessageW(target, WM_KEYUP, virtualKey, up)) {
        return OperatorResult::Failure("posting key " + std::to_string(virtualKey) + " to " +
                                       HexHandle(target) +
                                       " failed: " + Win32ErrorText(GetLastError()));
    }
    return OperatorResult::Success();
}

MessageBoxInfo Operator::ReadMessageBox(HWND box) const
{
    MessageBoxInfo info;
    if (!IsWindow(box) || !IsMessageBox(box)) {
        info.message =
            "window " + HexHandle(box) + " is not a message box; " + DescribeTopLevelWindows();
        return info;
    }
    std::string error;
    if (!ReadWindowText(box, info.caption, error) ||
        !ReadWindowText(GetDlgItem(box, kMessageBoxText), info.text, error)) {
        info.message = "reading message box " + HexHandle(box) + " failed: " + error;
        return info;
    }
    info.hwnd = box;
    info.owner = GetWindow(box, GW_OWNER);
    // Wine keeps the icon control of a box without an icon, empty; the icon is what counts.
    const HWND icon = GetDlgItem(box, kMessageBoxIcon);
    DWORD_PTR iconHandle = 0;
    info.hasIcon = icon != nullptr && IsWindowVisible(icon) &&
                   SendMessageTimeoutW(icon, STM_GETICON, 0, 0, SMTO_BLOCK,
                                       ScaledMs(kReadTimeoutMs), &iconHandle) &&
                   iconHandle != 0;
    for (int id = IDOK; id <= IDCONTINUE; ++id) {
        const HWND button = GetDlgItem(box, id);
        if (button != nullptr && IsWindowVisible(button)) {
            info.buttons.push_back(id);
        }
    }
    GUITHREADINFO thread{};
    thread.cbSize = sizeof(thread);
    if (GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &thread) &&
        thread.hwndFocus != nullptr && GetParent(thread.hwndFocus) == box) {
        info.focusedButton = GetDlgCtrlID(thread.hwndFocus);
    }
    return info;
}

MessageBoxInfo Operator::WaitForMessageBox(HWND owner) const
{
    MessageBoxInfo info;
    const HWND box = WaitForTopLevel(
        [&](HWND window) {
            if (ClassNameOf(window) != L"#32770" || !IsWindowVisible(window) ||
                (owner != nullptr && GetWindow(window, GW_OWNER) != owner) ||
                !IsMessageBox(window)) {
                return false;
            }
            info = ReadMessageBox(window);
            return static_cast<bool>(info);
        },
        timeoutMs);
    if (box == nullptr) {
        info = MessageBoxInfo();
        info.message = "no message box owned by " + HexHandle(owner) + " appeared within " +
                       std::to_string(timeoutMs) + " ms; " + DescribeTopLevelWindows();
    }
    return info;
}

OperatorResult Operator::Answer(const MessageBoxInfo& box, int buttonId) const
{
    if (!box) {
        return OperatorResult::Failure("no message box to answer: " + box.message);
    }
    if (!box.HasButton(buttonId)) {
        return OperatorResult::Failure("cannot answer with button " + std::to_string(buttonId) +
                                       ": " + box.Describe());
    }
    const OperatorResult pressed = PressButton(box.hwnd, buttonId);
    if (!pressed) {
        return pressed;
    }
    return WaitUntilGone(box.hwnd);
}

SaveAsInfo Operator::WaitForSaveAs(HWND owner, const std::wstring& caption) const
{
    SaveAsInfo info;
    info.frame = WaitForTopLevel(
        [&](HWND window) {
            return ClassNameOf(window) == L"#32770" && IsWindowVisible(window) &&
                   GetWindow(window, GW_OWNER) == owner && IsSaveAsFrame(window) &&
                   StoredCaption(window) == caption;
        },
        timeoutMs);
    if (!info) {
        info.message = "no Save As dialog \"" + ToUtf8(caption) + "\" owned by " +
                       HexHandle(owner) + " appeared within " + std::to_string(timeoutMs) +
                       " ms; " + DescribeTopLevelWindows();
        return info;
    }
    info.owner = owner;
    info.caption = caption;
    info.fileName = SaveAsFileName(info);
    return info;
}

OperatorResult Operator::SetSaveAsFileName(const SaveAsInfo& dialog,
                                           const std::wstring& fileName) const
{
    if (!dialog) {
        return OperatorResult::Failure("no Save As dialog: " + dialog.message);
    }
    return SetItemText(dialog.frame, kSaveAsFileNameBox, fileName);
}

std::wstring Operator::SaveAsFileName(const SaveAsInfo& dialog) const
{
    return ItemText(dialog.frame, kSaveAsFileNameBox);
}

OperatorResult Operator::Save(const SaveAsInfo& dialog) const
{
    if (!dialog) {
        return OperatorResult::Failure("no Save As dialog: " + dialog.message);
    }
    return PressButton(dialog.frame, IDOK);
}

OperatorResult Operator::CancelSaveAs(const SaveAsInfo& dialog) const
{
    if (!dialog) {
        return OperatorResult::Failure("no Save As dialog: " + dialog.message);
    }
    const OperatorResult pressed = PressButton(dialog.frame, IDCANCEL);
    if (!pressed) {
        return pressed;
    }
    return WaitUntilGone(dialog.frame);
}

MessageBoxInfo Operator::WaitForOverwritePrompt(const SaveAsInfo& dialog) const
{
    if (!dialog) {
        MessageBoxInfo info;
        info.message = "no Save As dialog: " + dialog.message;
        return info;
    }
    return WaitForMessageBox(dialog.frame);
}

} // namespace kdm_test
