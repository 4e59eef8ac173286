// Drives a dialog, message boxes and the Save As dialog of this test program's own, shown on a
// second thread as the program shows them: checks that the operator finds, reads and answers
// them, and refuses what a user could not do.

#include "tests/support/Operator.h"

#include <commdlg.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TextUtil.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/Win32Holders.h"

namespace kdm_test {
namespace {

const wchar_t kDialogCaption[] = L"Operator Test Dialog";
const wchar_t kSaveAsCaption[] = L"Save test package";
const int kStatus = 1002;
const int kDisabled = 1005;
const int kAsk = 1006;
const int kSaveAs = 1007;

// Builds an in-memory dialog template (DLGTEMPLATE followed by DWORD-aligned items).
class DialogTemplate {
public:
    DialogTemplate(const wchar_t* caption, short width, short height)
    {
        AddDword(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE);
        AddDword(0);
        countIndex = words.size();
        AddWord(0);
        AddWord(10);
        AddWord(10);
        AddWord(static_cast<WORD>(width));
        AddWord(static_cast<WORD>(height));
        AddWord(0); // no menu
        AddWord(0); // standard dialog class
        AddText(caption);
    }

    void AddItem(WORD atom, int id, const wchar_t* text, DWORD style, short x, short y, short cx,
                 short cy)
    {
        if (words.size() % 2 != 0) {
            AddWord(0);
        }
        AddDword(WS_CHILD | WS_VISIBLE | style);
        AddDword(0);
        AddWord(static_cast<WORD>(x));
        AddWord(static_cast<WORD>(y));
        AddWord(static_cast<WORD>(cx));
        AddWord(static_cast<WORD>(cy));
        AddWord(static_cast<WORD>(id));
        AddWord(0xFFFF);
        AddWord(atom);
        AddText(text);
        AddWord(0); // no creation data
        ++words[countIndex];
    }

    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words.data()); }

private:
    void AddWord(WORD value) { words.push_back(value); }
    void AddDword(DWORD value)
    {
        AddWord(LOWORD(value));
        AddWord(HIWORD(value));
    }
    void AddText(const wchar_t* text)
    {
        for (; *text != L'\0'; ++text) {
            AddWord(static_cast<WORD>(*text));
        }
        AddWord(0);
    }

    std::vector<WORD> words;
    std::size_t countIndex = 0;
};

const WORD kButton = 0x0080;
const WORD kStatic = 0x0082;

std::wstring TempFolder()
{
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder, length);
}

void ShowSaveAs(HWND dialog)
{
    wchar_t file[MAX_PATH] = L"Kestrune Setup.msi";
    const std::wstring folder = TempFolder();
    OPENFILENAMEW save{};
    save.lStructSize = sizeof(save);
    save.hwndOwner = dialog;
    save.lpstrFilter = L"Windows Installer package\0*.msi\0";
    save.lpstrFile = file;
    save.nMaxFile = MAX_PATH;
    save.lpstrInitialDir = folder.c_str();
    save.lpstrTitle = kSaveAsCaption;
    save.lpstrDefExt = L"msi";
    save.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_EXPLORER |
                 OFN_DONTADDTORECENT;
    const std::wstring status = GetSaveFileNameW(&save)
                                    ? L"saved " + std::wstring(file)
                                    : L"cancelled " + std::to_wstring(CommDlgExtendedError());
    SetDlgItemTextW(dialog, kStatus, status.c_str());
}

INT_PTR CALLBACK TestDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    try {
        if (message == WM_INITDIALOG) {
            EnableWindow(GetDlgItem(dialog, kDisabled), FALSE);
            return TRUE;
        }
        if (message != WM_COMMAND) {
            return FALSE;
        }
        switch (LOWORD(wParam)) {
        case IDOK:
            EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            SetDlgItemTextW(dialog, kStatus, L"cancel asked");
            return TRUE;
        case kDisabled:
            SetDlgItemTextW(dialog, kStatus, L"disabled button reached");
            return TRUE;
        case kAsk: {
            const int answer =
                MessageBoxW(dialog, L"Replace the package?\nIt is 2 MB.", L"Test question",
                            MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
            SetDlgItemTextW(dialog, kStatus, (L"answer " + std::to_wstring(answer)).c_str());
            return TRUE;
        }
        case kSaveAs:
            ShowSaveAs(dialog);
            return TRUE;
        default:
            return FALSE;
        }
    } catch (...) {
        return FALSE;
    }
}

DWORD WINAPI TestDialogThread(void* parameter)
{
    try {
        DialogTemplate dialog(kDialogCaption, 200, 90);
        dialog.AddItem(kStatic, kStatus, L"Ready", SS_LEFT, 10, 10, 180, 10);
        dialog.AddItem(kButton, kDisabled, L"Disabled", BS_PUSHBUTTON, 10, 30, 50, 14);
        dialog.AddItem(kButton, kAsk, L"Ask", BS_PUSHBUTTON, 70, 30, 50, 14);
        dialog.AddItem(kButton, kSaveAs, L"Save as", BS_PUSHBUTTON, 130, 30, 50, 14);
        dialog.AddItem(kButton, IDOK, L"Close", BS_DEFPUSHBUTTON, 70, 60, 50, 14);
        *static_cast<INT_PTR*>(parameter) = DialogBoxIndirectParamW(
            GetModuleHandleW(nullptr), dialog.Get(), nullptr, TestDialogProc, 0);
    } catch (...) {
        *static_cast<INT_PTR*>(parameter) = -2;
    }
    return 0;
}

struct MessageBoxCall {
    HWND owner;
    const wchar_t* text;
    const wchar_t* caption;
    UINT type;
    int result;
};

DWORD WINAPI MessageBoxThread(void* parameter)
{
    MessageBoxCall* call = static_cast<MessageBoxCall*>(parameter);
    call->result = MessageBoxW(call->owner, call->text, call->caption, call->type);
    return 0;
}

// Runs the test dialog on its own thread for the length of a test; closes it at the end.
class OperatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        thread.Reset(CreateThread(nullptr, 0, TestDialogThread, &dialogResult, 0, nullptr));
        ASSERT_FALSE(thread.IsEmpty()) << Win32ErrorText(GetLastError());
        const FoundWindow found = op.WaitForDialog(kDialogCaption);
        ASSERT_TRUE(found) << found.message;
        dialog = found.hwnd;
    }

    void TearDown() override
    {
        if (IsWindow(dialog)) {
            op.PostCommand(dialog, IDOK);
        }
        if (!thread.IsEmpty()) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), kdm_test::ScaledMs(10000)));
        }
    }

    // Waits until the dialog's status text reads `expected`.
    ::testing::AssertionResult StatusBecomes(const std::wstring& expected)
    {
        std::wstring text;
        if (WaitUntil([&] { return (text = op.ItemText(dialog, kStatus)) == expected; }, 5000)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "status is \"" << ToUtf8(text) << "\", not \"" << ToUtf8(expected) << "\"";
    }

    Operator op{5000};
    HWND dialog = nullptr;
    INT_PTR dialogResult = 0;

private:
    HandleHolder thread;
};

TEST_F(OperatorTest, ReadsTheDialogAndPressesOnlyButtonsAUserCouldPress)
{
    EXPECT_EQ(kDialogCaption, op.Text(dialog));
    EXPECT_EQ(L"Ready", op.ItemText(dialog, kStatus));
    EXPECT_EQ(L"<no control 999>", op.ItemText(dialog, 999));

    const ControlState disabled = op.Item(dialog, kDisabled);
    EXPECT_TRUE(disabled.exists);
    EXPECT_TRUE(disabled.visible);
    EXPECT_FALSE(disabled.enabled);
    EXPECT_EQ(L"Disabled", disabled.text);
    const OperatorResult refused = op.PressButton(dialog, kDisabled);
    EXPECT_FALSE(refused);
    EXPECT_NE(std::string::npos, refused.message.find("is disabled")) << refused.message;
    EXPECT_FALSE(op.PressButton(dialog, 999));

    ASSERT_TRUE(op.PressKey(dialog, VK_ESCAPE));
    EXPECT_TRUE(StatusBecomes(L"cancel asked"));
    ASSERT_TRUE(op.SetItemText(dialog, kStatus, L"Ready"));
    ASSERT_TRUE(op.PressCloseBox(dialog));
    EXPECT_TRUE(StatusBecomes(L"cancel asked"));

    ASSERT_TRUE(op.PressButton(dialog, IDOK));
    EXPECT_TRUE(op.WaitUntilGone(dialog));
}

TEST_F(OperatorTest, AnswersAMessageBoxOpenedByAClickOnlyWithAButtonItHas)
{
    // The click opens a modal box on the dialog's thread; a posted click leaves the operator free.
    ASSERT_TRUE(op.PressButton(dialog, kAsk));
    const MessageBoxInfo box = op.WaitForMessageBox(dialog);
    ASSERT_TRUE(box) << box.message;
    EXPECT_EQ(dialog, box.owner);
    EXPECT_EQ(L"Test question", box.caption);
    EXPECT_EQ(L"Replace the package?\nIt is 2 MB.", box.text);
    EXPECT_TRUE(box.hasIcon);
    EXPECT_EQ((std::vector<int>{IDYES, IDNO}), box.buttons);
    EXPECT_EQ(IDNO, box.focusedButton);
    EXPECT_FALSE(IsWindowEnabled(dialog));

    const OperatorResult wrong = op.Answer(box, IDOK);
    EXPECT_FALSE(wrong);
    EXPECT_NE(std::string::npos, wrong.message.find("buttons 6 7")) << wrong.message;
    ASSERT_TRUE(IsWindow(box.hwnd));

    const OperatorResult answered = op.Answer(box, IDNO);
    ASSERT_TRUE(answered) << answered.message;
    EXPECT_TRUE(StatusBecomes(L"answer 7"));
}

TEST_F(OperatorTest, ReadsAPlainMessageBoxAndReportsWhatExistsWhenAWaitTimesOut)
{
    MessageBoxCall call{dialog, L"Done.", L"Plain", MB_OK, 0};
    HandleHolder thread(CreateThread(nullptr, 0, MessageBoxThread, &call, 0, nullptr));
    ASSERT_FALSE(thread.IsEmpty());
    const MessageBoxInfo box = op.WaitForMessageBox(dialog);
    ASSERT_TRUE(box) << box.message;
    EXPECT_EQ(L"Done.", box.text);
    EXPECT_FALSE(box.hasIcon);
    EXPECT_EQ(std::vector<int>{IDOK}, box.buttons);

    Operator impatient(200);
    const FoundWindow missing = impatient.WaitForDialog(L"No such dialog");
    EXPECT_FALSE(missing);
    EXPECT_NE(std::string::npos, missing.message.find("\"No such dialog\"")) << missing.message;
    EXPECT_NE(std::string::npos, missing.message.find("#32770 \"Plain\"")) << missing.message;
    EXPECT_NE(std::string::npos, missing.message.find("#32770 \"Operator Test Dialog\""))
        << missing.message;
    EXPECT_FALSE(impatient.WaitForMessageBox(box.hwnd));

    ASSERT_TRUE(op.Answer(box, IDOK));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), kdm_test::ScaledMs(5000)));
    EXPECT_EQ(IDOK, call.result);
}

TEST_F(OperatorTest, SavesUnderAGivenNameConfirmsTheOverwriteAndCancels)
{
    const std::wstring existing = TempFolder() + L"operator existing.msi";
    {
        HandleHolder file(
            CreateFileW(existing.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_FALSE(file.IsEmpty()) << Win32ErrorText(GetLastError());
    }

    ASSERT_TRUE(op.PressButton(dialog, kSaveAs));
    SaveAsInfo saveAs = op.WaitForSaveAs(dialog, kSaveAsCaption);
    ASSERT_TRUE(saveAs) << saveAs.message;
    EXPECT_EQ(L"Kestrune Setup.msi", saveAs.fileName);
    ASSERT_TRUE(op.SetSaveAsFileName(saveAs, existing));
    EXPECT_EQ(existing, op.SaveAsFileName(saveAs));
    ASSERT_TRUE(op.Save(saveAs));
    const MessageBoxInfo prompt = op.WaitForOverwritePrompt(saveAs);
    ASSERT_TRUE(prompt) << prompt.message;
    EXPECT_EQ(kSaveAsCaption, prompt.caption);
    EXPECT_EQ((std::vector<int>{IDYES, IDNO}), prompt.buttons);
    ASSERT_TRUE(op.Answer(prompt, IDYES));
    EXPECT_TRUE(op.WaitUntilGone(saveAs.frame));
    EXPECT_TRUE(StatusBecomes(L"saved " + existing));

    ASSERT_TRUE(op.PressButton(dialog, kSaveAs));
    saveAs = op.WaitForSaveAs(dialog, kSaveAsCaption);
    ASSERT_TRUE(saveAs) << saveAs.message;
    ASSERT_TRUE(op.CancelSaveAs(saveAs));
    EXPECT_TRUE(StatusBecomes(L"cancelled 0"));
    DeleteFileW(existing.c_str());
}

} // namespace
} // namespace kdm_test
