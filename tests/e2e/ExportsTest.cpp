// The real module as an installer uses it: loaded by a host program (this one, which carries
// decoy resources under the program's ids), its two exports found by their decorated names and
// called with an owner window. And the real program, started as a process.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/ModuleHost.h"
#include "tests/support/Operator.h"

namespace kdm_test {
namespace {

// What the host saw of the dialogs that were activated on its thread.
struct SeenDialog {
    std::wstring caption;
    HINSTANCE instance;
    bool hasBigIcon;
    bool hasSmallIcon;
};
std::vector<SeenDialog> seenDialogs;
HHOOK observerHook = nullptr;

LRESULT CALLBACK ObserveActivation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE) {
        const HWND window = reinterpret_cast<HWND>(wParam);
        wchar_t className[64] = {};
        GetClassNameW(window, className, 64);
        if (std::wstring(className) == L"#32770") {
            wchar_t caption[256] = {};
            GetWindowTextW(window, caption, 256);
            seenDialogs.push_back(
                {caption, reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE)),
                 SendMessageW(window, WM_GETICON, ICON_BIG, 0) != 0,
                 SendMessageW(window, WM_GETICON, ICON_SMALL, 0) != 0});
        }
    }
    return CallNextHookEx(observerHook, code, wParam, lParam);
}

class Exports : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(module.Get(), nullptr) << "cannot load the module";
        downloadFile = module.DownloadFile();
        downloadFileForInstaller = module.DownloadFileForInstaller();
        ASSERT_NE(downloadFile, nullptr);
        ASSERT_NE(downloadFileForInstaller, nullptr);
        owner = CreateWindowExW(0, L"STATIC", L"Installer", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                                60, 900, 600, nullptr, nullptr, nullptr, nullptr);
        seenDialogs.clear();
        observerHook = SetWindowsHookExW(WH_CBT, ObserveActivation, nullptr, GetCurrentThreadId());
    }
    void TearDown() override
    {
        UnhookWindowsHookEx(observerHook);
        DestroyWindow(owner);
    }

    bool QuitMessageInQueue()
    {
        MSG message{};
        return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    }

    void ExpectOneDialogOfTheModule()
    {
        // The first dialog is the download dialog; a Save As dialog of the start may follow.
        ASSERT_GE(seenDialogs.size(), 1u);
        EXPECT_EQ(seenDialogs[0].caption, kDialogCaption);
        EXPECT_EQ(seenDialogs[0].instance, module.Get()) << "the dialog came from another module";
        EXPECT_TRUE(seenDialogs[0].hasBigIcon);
        EXPECT_TRUE(seenDialogs[0].hasSmallIcon);
    }

    LoadedModule module;
    DownloadFileExport downloadFile = nullptr;
    DownloadFileForInstallerExport downloadFileForInstaller = nullptr;
    HWND owner = nullptr;
};

TEST_F(Exports, DownloadFileShowsTheModulesDialogAndAnAbandonedRunEndsWithZero)
{
    AbandoningUser user;
    EXPECT_EQ(downloadFile(owner), 0);
    ExpectOneDialogOfTheModule();
    EXPECT_FALSE(QuitMessageInQueue()) << "a quit message reached the host's message loop";
    EXPECT_TRUE(IsWindowEnabled(owner)) << "the owner is left disabled after the dialog";
}

TEST_F(Exports, DownloadFileForInstallerWithOrWithoutAVersionCodeRunsTheSameDialog)
{
    AbandoningUser user;
    EXPECT_EQ(downloadFileForInstaller(owner, nullptr), 0);
    EXPECT_EQ(downloadFileForInstaller(owner, L"601"), 0);
    std::vector<SeenDialog> downloadDialogs;
    for (const SeenDialog& dialog : seenDialogs) {
        EXPECT_NE(dialog.caption, L"Decoy dialog of the host");
        if (dialog.caption == kDialogCaption) {
            downloadDialogs.push_back(dialog);
        }
    }
    // Each run activates its dialog at least once (again after its Save As dialog has closed).
    ASSERT_GE(downloadDialogs.size(), 2u);
    for (const SeenDialog& dialog : downloadDialogs) {
        EXPECT_EQ(dialog.instance, module.Get());
    }
    EXPECT_FALSE(QuitMessageInQueue());
}

// The export table holds the two decorated names and nothing else; the import table names only
// system libraries.
TEST(ModuleFile, ExportsExactlyTheTwoDecoratedNamesAndImportsOnlySystemLibraries)
{
    const HMODULE module = LoadLibraryW(ModulePath().c_str());
    ASSERT_NE(module, nullptr);
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_NT_HEADERS32* headers = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    EXPECT_EQ(headers->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(headers->OptionalHeader.MajorSubsystemVersion, 5);
    EXPECT_EQ(headers->OptionalHeader.MinorSubsystemVersion, 1);

    const IMAGE_DATA_DIRECTORY& exportEntry =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const IMAGE_EXPORT_DIRECTORY* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + exportEntry.VirtualAddress);
    std::set<std::string> names;
    const DWORD* nameOffsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.insert(reinterpret_cast<const char*>(base + nameOffsets[i]));
    }
    EXPECT_EQ(exports->NumberOfFunctions, 2u);
    EXPECT_EQ(names, (std::set<std::string>{kDownloadFileName, kDownloadFileForInstallerName}));

    const std::set<std::string> systemLibraries = {
        "advapi32.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll",
        "iphlpapi.dll", "kernel32.dll", "msvcrt.dll",   "ole32.dll",   "shell32.dll",
        "user32.dll",   "version.dll",  "wininet.dll",  "ws2_32.dll"};
    const IMAGE_DATA_DIRECTORY& importEntry =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR* import =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + importEntry.VirtualAddress);
         import->Name != 0; ++import) {
        std::string name = reinterpret_cast<const char*>(base + import->Name);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        EXPECT_EQ(systemLibraries.count(name), 1u) << name << " is not a system library";
    }
    FreeLibrary(module);
}

TEST(Program, AnAbandonedRunEndsTheProcessWithExitCodeZero)
{
    ProgramProcess program(L"ignored /args");
    ASSERT_TRUE(program.Started()) << program.StartError();
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    {
        AbandoningUser user(program.Id());
        ended = program.WaitForExit(20000, exitCode);
    }
    EXPECT_TRUE(ended) << "the program did not end";
    EXPECT_EQ(exitCode, 0u);
}

} // namespace
} // namespace kdm_test
