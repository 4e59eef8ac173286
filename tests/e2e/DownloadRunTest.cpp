// Whole runs through the real module's exports and through the real program, against the
// scriptable server on 127.0.0.1:80 (the loopback build's download address), with an operator
// answering the Save As dialog and the questions, and the recording handler standing in for the
// installer.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "download/TargetFile.h"
#include "net/HttpTransfer.h"
#include "tests/e2e/ModuleHost.h"
#include "tests/support/BuiltModule.h"
#include "tests/support/LaunchLog.h"
#include "tests/support/Operator.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"
#include "tests/support/TextUtil.h"
#include "tests/support/WaitUntil.h"

namespace kdm_test {
namespace {

const wchar_t kSaveAsCaption[] =
    L"Kestrune Download Manager - Please select convenient download folder and filename";

// The processor word size that the run must report: "32" in the 32-bit test prefix, "64" where
// the suite runs a test in its 64-bit (WoW64) prefix and says so in KDM_EXPECT_NATIVE_BITS.
std::string ExpectedBits()
{
    wchar_t bits[8] = {};
    const DWORD length = GetEnvironmentVariableW(L"KDM_EXPECT_NATIVE_BITS", bits, 8);
    return length == 2 ? ToUtf8(bits) : "32";
}

std::wstring ProposedName()
{
    return L"Kestrune 2012 - Setup for Windows 7, " + FromUtf8(ExpectedBits()) + L" bit";
}
const wchar_t kQuestionCaption[] = L"Download Manager";
const char kHashHeader[] = "NORVALIS-DOWNLOAD-HASHCODE";
const std::uint64_t kPackageSize = 300000;
// Small enough that a slowly sent body still ends within a couple of seconds.
const std::uint64_t kSlowPackageSize = 65536;
const wchar_t kInstallerNoticeStart[] =
    L"The download of the latest software installation package was successfully completed.";
const wchar_t kLaunchFailedText[] =
    L"The system could not launch the installer package. Please start the installer manually.";
const wchar_t kMismatchMarker[] = L"does not match the code computed by the Download Manager.";
const wchar_t kVerifyFailedMarker[] = L"the Download Manager encountered a generic exception";

// The installation packages in the folder where the Save As dialog starts.
std::vector<std::wstring> PackagesInDefaultFolder()
{
    std::vector<std::wstring> names;
    const std::wstring pattern = std::wstring(DefaultDownloadFolder().Data()) + L"\\*.msi";
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// True when the class of `control` (a window of this process) is common controls 6's own: with an
// activation context that asks for version 6, comctl32.dll gives the button, static and other
// classes their window procedures; without one they are user32's.
bool IsCommonControls6(HWND control)
{
    HMODULE owner = nullptr;
    wchar_t path[MAX_PATH] = {};
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(GetClassLongPtrW(control, GCLP_WNDPROC)), &owner);
    const std::string file = AsciiLower(
        ToUtf8(owner != nullptr && GetModuleFileNameW(owner, path, MAX_PATH) > 0 ? path : L""));
    return file.size() > 13 && file.compare(file.size() - 13, 13, "\\comctl32.dll") == 0;
}

// A test name as part of a file name: parameterised tests carry a "/".
std::wstring FileNamePart(const std::string& testName)
{
    std::wstring part = FromUtf8(testName);
    for (wchar_t& c : part) {
        if (c == L'/') {
            c = L'-';
        }
    }
    return part;
}

class DownloadRun : public ::testing::Test {
protected:
    explicit DownloadRun(const std::wstring& modulePath = ModulePath()) : module(modulePath) {}

    void SetUp() override
    {
        ASSERT_NE(module.Get(), nullptr);
        ASSERT_TRUE(log.Arm()) << log.LastError();
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        target = std::wstring(folder) + L"kdm-e2e-" +
                 FileNamePart(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                 L".msi";
        DeleteFileW(target.c_str());
        RemoveDirectoryW(target.c_str());
    }
    void TearDown() override
    {
        server.Stop();
        log.Disarm();
        DeleteFileW(target.c_str());
        RemoveDirectoryW(target.c_str());
    }

    static std::wstring ToWide(const std::string& text) { return FromUtf8(text); }

    void StartServer(const Response& response)
    {
        server.Enqueue(response);
        ASSERT_TRUE(server.Start("127.0.0.1", 80)) << server.LastError();
    }

    // Waits for the download dialog of a run; null (with a failure) when none came.
    HWND WaitForDownloadDialog(HWND owner, DWORD processId = 0)
    {
        WindowQuery query = WindowQuery::DialogWithCaption(kDialogCaption);
        if (owner != nullptr) {
            query.OwnedBy(owner);
        }
        if (processId != 0) {
            query.InProcess(processId);
        }
        const FoundWindow dialog = op.WaitForWindow(query);
        EXPECT_TRUE(dialog) << dialog.message;
        return dialog.hwnd;
    }

    // Waits for the download dialog and the Save As dialog over it, and saves under `typed`
    // (target when empty).
    HWND SaveAsTarget(HWND owner, DWORD processId = 0, const std::wstring& typed = std::wstring())
    {
        const HWND dialog = WaitForDownloadDialog(owner, processId);
        if (dialog == nullptr) {
            return nullptr;
        }
        const SaveAsInfo saveAs = op.WaitForSaveAs(dialog, kSaveAsCaption);
        EXPECT_TRUE(saveAs) << saveAs.message;
        if (!saveAs) {
            return nullptr;
        }
        proposed = saveAs.fileName;
        EXPECT_TRUE(op.SetSaveAsFileName(saveAs, typed.empty() ? target : typed));
        EXPECT_TRUE(op.Save(saveAs));
        return dialog;
    }

    // Waits up to a minute for the export to return. Every message box that the dialog owns in
    // the meantime is recorded and closed (OK, else No), so that an unexpected question cannot
    // hold the run; the test then judges what was shown.
    std::vector<MessageBoxInfo> FinishRecordingBoxes(DialogRun& run, HWND dialog)
    {
        std::vector<MessageBoxInfo> shown;
        const bool returned = WaitUntil(
            [&] {
                for (const WindowInfo& window : TopLevelWindows()) {
                    if (window.visible && window.className == L"#32770" && window.owner == dialog) {
                        const MessageBoxInfo box = op.ReadMessageBox(window.hwnd);
                        if (box) {
                            shown.push_back(box);
                            op.Answer(box, box.HasButton(IDOK) ? IDOK : IDNO);
                        }
                    }
                }
                return run.Finish(0);
            },
            60000);
        EXPECT_TRUE(returned) << "the export did not return";
        return shown;
    }

    static std::string DescribeAll(const std::vector<MessageBoxInfo>& boxes)
    {
        std::string text;
        for (const MessageBoxInfo& box : boxes) {
            text += box.Describe() + "\n";
        }
        return text;
    }

    // Presses Cancel once the transfer of a slowly sent body is under way and returns the
    // confirmation question, still open.
    MessageBoxInfo CancelDuringTheTransfer(HWND dialog)
    {
        EXPECT_TRUE(server.WaitForRequests(1, 10000)) << server.Describe();
        Sleep(300);
        EXPECT_TRUE(op.PressButton(dialog, 1005));
        const MessageBoxInfo question = op.WaitForMessageBox(dialog);
        EXPECT_TRUE(question) << question.message;
        EXPECT_TRUE(question.HasButton(IDYES)) << question.Describe();
        return question;
    }

public:
    // A package of `size` bytes with the hash code that matches it.
    static Response VerifiedPackage(std::uint64_t size = kPackageSize)
    {
        return Response::Ok().Header(kHashHeader, PatternSha1HexUpper(size)).GeneratedBody(size);
    }

protected:
    static Response SlowVerifiedPackage()
    {
        return VerifiedPackage(kSlowPackageSize).Pieces(4096, 80);
    }

    // Answers the next message box over the dialog and returns what it showed.
    MessageBoxInfo Answer(HWND dialog, int button)
    {
        const MessageBoxInfo box = op.WaitForMessageBox(dialog);
        EXPECT_TRUE(box) << box.message;
        if (box) {
            EXPECT_TRUE(op.Answer(box, button)) << box.Describe();
        }
        return box;
    }

    void ExpectLaunchedTarget()
    {
        ASSERT_TRUE(log.WaitForLines(1, 10000)) << log.Describe();
        const std::vector<std::wstring> arguments = LaunchLog::SplitCommandLine(log.Lines()[0]);
        ASSERT_EQ(arguments.size(), 2u) << log.Describe();
        EXPECT_EQ(arguments[1], target);
    }

    void ExpectNothingLaunched()
    {
        Sleep(300);
        EXPECT_TRUE(log.Lines().empty()) << log.Describe();
    }

    void ExpectWholePackageOnDisk(std::uint64_t size = kPackageSize)
    {
        const std::string bytes = ReadFileBytes(target);
        EXPECT_EQ(bytes.size(), size);
        EXPECT_EQ(FirstPatternMismatch(bytes), std::string::npos);
    }

    // A download whose response has no hash code: checks the question, answers it, and returns
    // the export's result.
    int RunWithoutHashCode(int answer)
    {
        StartServer(Response::Ok().GeneratedBody(kPackageSize));
        DialogRun run(module.ExportCall());
        const HWND dialog = SaveAsTarget(run.Owner());
        if (dialog == nullptr) {
            return -100;
        }
        const MessageBoxInfo box = Answer(dialog, answer);
        EXPECT_EQ(box.caption, kQuestionCaption);
        EXPECT_EQ(box.text.rfind(L"The installation package was downloaded successfully, however "
                                 L"the web server did not supply",
                                 0),
                  0u)
            << box.Describe();
        EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
        EXPECT_TRUE(run.Finish(60000));
        return run.Result();
    }

    // A verified package downloaded through an export of module: launched, the export returns
    // 1, and the request carried the four headers.
    void RunVerifiedPackageThroughTheModule()
    {
        StartServer(VerifiedPackage().Pieces(8192, 0));
        DialogRun run(module.ExportCall());
        const HWND dialog = SaveAsTarget(run.Owner());
        ASSERT_NE(dialog, nullptr);
        EXPECT_NE(proposed.find(ProposedName()), std::wstring::npos) << ToUtf8(proposed);
        const std::vector<MessageBoxInfo> boxes = FinishRecordingBoxes(run, dialog);
        EXPECT_TRUE(boxes.empty()) << DescribeAll(boxes);
        EXPECT_EQ(run.Result(), 1);
        EXPECT_FALSE(run.QuitMessageSeen());
        ExpectLaunchedTarget();
        ExpectWholePackageOnDisk();

        const std::vector<RecordedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        const RecordedRequest& request = requests[0];
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.target, "/");
        const std::vector<std::pair<std::string, std::string>> expected = {
            {"NORVALIS_PRODUCT", "Kestrune"},
            {"NORVALIS_PRODUCT_VERSION", "2"},
            {"ZELQ_OS_VERSION", "7"},
            {"ZELQ_CPU_TYPE", ExpectedBits()},
            {"User-Agent", "Download Manager"}};
        for (const auto& header : expected) {
            const RecordedHeader* found = request.Find(header.first);
            ASSERT_NE(found, nullptr) << header.first << " missing in\n" << request.raw;
            EXPECT_EQ(found->value, header.second) << header.first;
        }
    }

    // The same download through a build of the program: launched, and the process exits with 0.
    void RunVerifiedPackageThroughTheProgram(const std::wstring& programPath)
    {
        StartServer(VerifiedPackage());
        ProgramProcess program(std::wstring(), programPath);
        ASSERT_TRUE(program.Started()) << program.StartError();
        SaveAsTarget(nullptr, program.Id());
        DWORD exitCode = STILL_ACTIVE;
        ASSERT_TRUE(program.WaitForExit(60000, exitCode)) << "the program did not end";
        EXPECT_EQ(exitCode, 0u);
        ExpectLaunchedTarget();
        ExpectWholePackageOnDisk();
    }

    LoadedModule module;
    TestServer server;
    Operator op{20000};
    LaunchLog log = LaunchLog::InTempFolder(L"kdm-e2e-launch.log");
    std::wstring target;
    std::wstring proposed;
};

TEST_F(DownloadRun, VerifiedPackageIsLaunchedAndTheExportReturnsOne)
{
    RunVerifiedPackageThroughTheModule();
}

TEST_F(DownloadRun, WithoutHashCodeNoKeepsTheFileWithoutLaunching)
{
    EXPECT_EQ(RunWithoutHashCode(IDNO), 0);
    ExpectNothingLaunched();
    ExpectWholePackageOnDisk();
}

TEST_F(DownloadRun, WithoutHashCodeYesLaunchesThePackage)
{
    EXPECT_EQ(RunWithoutHashCode(IDYES), 1);
    ExpectLaunchedTarget();
    ExpectWholePackageOnDisk();
}

TEST_F(DownloadRun, MismatchAsksAndNoKeepsTheFileWithoutLaunching)
{
    StartServer(Response::Ok()
                    .Header(kHashHeader, "0000000000000000000000000000000000000000")
                    .GeneratedBody(kPackageSize));
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo box = Answer(dialog, IDNO);
    EXPECT_NE(box.text.find(L"does not match the code computed by the Download Manager."),
              std::wstring::npos)
        << box.Describe();
    EXPECT_NE(box.text.find(L"latest Download Manager, available from http://127.0.0.2, and"),
              std::wstring::npos);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    ExpectWholePackageOnDisk();
}

TEST_F(DownloadRun, InvalidHashCodeIsAVerificationErrorAndYesLaunchesAfterTheInstallerNotice)
{
    std::string lowerCase = PatternSha1HexUpper(kPackageSize);
    for (char& c : lowerCase) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    StartServer(Response::Ok().Header(kHashHeader, lowerCase).GeneratedBody(kPackageSize));
    DialogRun run(module.ExportCall(L"601"));
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo question = Answer(dialog, IDYES);
    EXPECT_NE(question.text.find(L"the Download Manager encountered a generic exception"),
              std::wstring::npos)
        << question.Describe();
    const MessageBoxInfo notice = Answer(dialog, IDOK);
    EXPECT_EQ(notice.text.rfind(L"The download of the latest software installation package", 0), 0u)
        << notice.Describe();
    EXPECT_FALSE(notice.hasIcon);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 1);
    ExpectLaunchedTarget();
}

TEST_F(DownloadRun, ErrorStatusEndsTheRunSilentlyAndNothingIsSaved)
{
    StartServer(Response::Status(404, "Not Found").Body("<html>no such package</html>"));
    DialogRun run(module.ExportCall());
    ASSERT_NE(SaveAsTarget(run.Owner()), nullptr);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    EXPECT_EQ(ReadFileBytes(target), "") << "the error page was saved as the package";
}

TEST_F(DownloadRun, CancelConfirmedDuringTheTransferEndsTheRunAndKeepsThePartialFile)
{
    StartServer(VerifiedPackage().Pieces(4096, 100));
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(server.WaitForRequests(1, 10000));
    Sleep(500);
    ASSERT_TRUE(op.PressButton(dialog, 1005));
    Answer(dialog, IDYES);
    ASSERT_TRUE(run.Finish(60000));
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    const std::string bytes = ReadFileBytes(target);
    EXPECT_GT(bytes.size(), 0u);
    EXPECT_LT(bytes.size(), kPackageSize);
    EXPECT_EQ(FirstPatternMismatch(bytes), std::string::npos);
}

TEST_F(DownloadRun, TheProgramRunsTheSameDownloadAndExitsWithZero)
{
    RunVerifiedPackageThroughTheProgram(ProgramPath());
}

// The system libraries that Windows would look for in the program's folder during a whole run:
// those of a loader trace of whole runs (WINEDEBUG=+loaddll), less the known system libraries,
// and less what Wine's own builds of those import (combase, comctl32, compstui, imm32,
// kernelbase, sechost, shcore, shlwapi, ucrtbase, version, win32u, winspool.drv, zlib1): Wine
// takes those from the program's folder at start when the names are searched there first, where
// Windows takes a known library's dependencies from the system folder; the import test keeps
// them out of the static imports.
const wchar_t* const kPlantedNames[] = {
    L"actxprxy.dll", L"bcrypt.dll",  L"crypt32.dll", L"dnsapi.dll", L"icmp.dll",    L"iphlpapi.dll",
    L"mpr.dll",      L"msimg32.dll", L"nsi.dll",     L"rsaenh.dll", L"wininet.dll", L"ws2_32.dll"};
// Loaded by name by the module's test host before the run: shows that the folder is searched.
const wchar_t kControlName[] = L"mapi32.dll";

// A manifest dropped beside a program, which XP prefers to the program's embedded one (Wine and
// later Windows only to none): it claims comctl32.dll as a file of the application's own, under
// the common controls' name, so that the name is redirected to the library planted beside it.
const char kPlantedManifest[] =
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
    "<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
    "version=\"6.0.0.0\" processorArchitecture=\"x86\" publicKeyToken=\"6595b64144ccf1df\"/>"
    "<file name=\"comctl32.dll\"/></assembly>";

// A folder like the user's Downloads folder after a web page dropped libraries into it: the
// given binaries of the build beside a planted library for each name but `leftOut`, a planted
// comctl32.dll and, for each program, a planted manifest.
class PlantedFolder {
public:
    PlantedFolder(const wchar_t* name, const std::vector<std::wstring>& binaries,
                  const std::wstring& leftOut = std::wstring())
        : folder(name)
    {
        for (const wchar_t* library : kPlantedNames) {
            if (library != leftOut) {
                names.push_back(library);
            }
        }
        for (const std::wstring& binary : binaries) {
            const std::wstring file = binary.substr(binary.find_last_of(L'\\') + 1);
            EXPECT_TRUE(CopyFileW(binary.c_str(), (folder / file).c_str(), FALSE))
                << ToUtf8(binary) << ": " << Win32ErrorText(GetLastError());
            if (file.size() > 4 && file.compare(file.size() - 4, 4, L".exe") == 0) {
                EXPECT_TRUE(WriteFileBytes(folder / file + L".manifest", kPlantedManifest));
            }
        }
        names.push_back(kControlName);
        names.push_back(L"comctl32.dll");
        const std::wstring planted = BuildTreePath(L"tests\\planted_library.dll");
        for (const wchar_t* library : names) {
            EXPECT_TRUE(CopyFileW(planted.c_str(), (folder / library).c_str(), FALSE));
        }
    }

    std::wstring operator/(const std::wstring& file) const { return folder / file; }

    // The planted libraries that something loaded, as "a.dll b.dll".
    std::string Loaded() const
    {
        std::string loaded;
        for (const wchar_t* library : names) {
            if (GetFileAttributesW((folder / library + L".loaded").c_str()) !=
                INVALID_FILE_ATTRIBUTES) {
                loaded += (loaded.empty() ? "" : " ") + ToUtf8(library);
            }
        }
        return loaded;
    }

private:
    TempFolder folder;
    std::vector<const wchar_t*> names;
};

// Sets, for the lifetime of the object, how Wine loads the given libraries into the program `exe`
// (a file name): "native,builtin" makes it look for them as Windows does, in the program's own
// folder first (Wine otherwise takes its own libraries whatever lies there); "" disables them. A
// per-program setting of the prefix's registry, so nothing else is affected (the WINEDLLOVERRIDES
// variable of a running process does not reach the processes it starts).
class ProgramDllOverrides {
public:
    ProgramDllOverrides(const std::wstring& exe, const std::vector<const wchar_t*>& libraries,
                        const std::wstring& order)
        : key(L"Software\\Wine\\AppDefaults\\" + exe)
    {
        HKEY overrides = nullptr;
        const LONG created =
            RegCreateKeyExW(HKEY_CURRENT_USER, (key + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &overrides, nullptr);
        EXPECT_EQ(created, ERROR_SUCCESS) << Win32ErrorText(static_cast<DWORD>(created));
        if (created != ERROR_SUCCESS) {
            return;
        }
        for (const wchar_t* library : libraries) {
            // Wine matches an override by the name without its ".dll".
            std::wstring name = library;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, L".dll") == 0) {
                name.erase(name.size() - 4);
            }
            RegSetValueExW(overrides, name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(order.c_str()),
                           static_cast<DWORD>((order.size() + 1) * sizeof(wchar_t)));
        }
        RegCloseKey(overrides);
    }
    ~ProgramDllOverrides()
    {
        RegDeleteKeyW(HKEY_CURRENT_USER, (key + L"\\DllOverrides").c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    }
    ProgramDllOverrides(const ProgramDllOverrides&) = delete;
    ProgramDllOverrides& operator=(const ProgramDllOverrides&) = delete;

private:
    std::wstring key;
};

class PlantedLibraries : public DownloadRun {
protected:
    // A whole verified run of a program copied into a planted folder; the exit code it ended with.
    DWORD RunFromPlantedFolder(const PlantedFolder& folder, const std::wstring& program,
                               const std::wstring& arguments = std::wstring())
    {
        StartServer(VerifiedPackage());
        DWORD exitCode = STILL_ACTIVE;
        {
            std::vector<const wchar_t*> names(std::begin(kPlantedNames), std::end(kPlantedNames));
            names.push_back(kControlName);
            const ProgramDllOverrides search(program, names, L"native,builtin");
            ProgramProcess process(arguments, folder / program);
            EXPECT_TRUE(process.Started()) << process.StartError();
            if (!process.Started()) {
                return exitCode;
            }
            SaveAsTarget(nullptr, process.Id());
            EXPECT_TRUE(process.WaitForExit(60000, exitCode)) << "the run did not end";
        }
        ExpectLaunchedTarget();
        ExpectWholePackageOnDisk();
        return exitCode;
    }
};

// msimg32.dll is left out: Wine's uxtheme loads it by name with the plain search even after
// SetDefaultDllDirectories (measured), where Windows applies the restriction to every later load.
TEST_F(PlantedLibraries, TheProgramLoadsNoneOfThem)
{
    const PlantedFolder folder(L"kdm-planted-program", {ProgramPath()}, L"msimg32.dll");
    EXPECT_EQ(RunFromPlantedFolder(folder, L"KestruneDownloadManager.exe"), 0u);
    EXPECT_EQ(folder.Loaded(), "");
}

// As on XP, and on Vista and 7 without the loader update: every library by its full path, and
// those that Windows' own libraries load by name loaded from the system folder first.
TEST_F(PlantedLibraries, WithoutSetDefaultDllDirectoriesTheProgramLoadsNoneOfThem)
{
    const PlantedFolder folder(L"kdm-planted-fallback", {SearchFallbackProgramPath()});
    EXPECT_EQ(RunFromPlantedFolder(folder, L"KestruneDownloadManager.exe"), 0u);
    EXPECT_EQ(folder.Loaded(), "");
}

// An installer in the same folder loads the module from there as installers do, with its
// imports searched in that folder first.
TEST_F(PlantedLibraries, TheModuleLoadedByAnInstallerBesideThemLoadsNoneOfThem)
{
    const PlantedFolder folder(L"kdm-planted-module",
                               {ModulePath(), BuildTreePath(L"tests\\planted_host.exe")});
    EXPECT_EQ(RunFromPlantedFolder(folder, L"planted_host.exe", kControlName), 1u);
    EXPECT_EQ(folder.Loaded(), ToUtf8(kControlName))
        << "the control shows whether the folder was searched at all";
}

// A system library that cannot be loaded (here disabled for the process, as a damaged or locked-
// down system refuses one): the program names it and the system's reason in one box and ends with
// 0, as Windows would have named a missing static import; the module returns -1 without a word.
TEST(UnloadableLibrary, TheProgramNamesItTheModuleReturnsMinusOne)
{
    const std::vector<const wchar_t*> disabled = {L"wininet.dll"};
    {
        const ProgramDllOverrides overrides(L"KestruneDownloadManager.exe", disabled, L"");
        ProgramProcess program;
        ASSERT_TRUE(program.Started()) << program.StartError();
        const Operator op(20000);
        const FoundWindow found = op.WaitForWindow(WindowQuery().InProcess(program.Id()));
        ASSERT_TRUE(found) << found.message;
        const MessageBoxInfo box = op.ReadMessageBox(found.hwnd);
        EXPECT_EQ(box.caption, kQuestionCaption) << box.Describe();
        EXPECT_EQ(box.text, std::wstring(L"wininet.dll: ") +
                                MStringEx<wchar_t>::FromWin32Error(ERROR_MOD_NOT_FOUND).Data())
            << box.Describe();
        EXPECT_TRUE(box.hasIcon);
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_TRUE(op.Answer(box, IDOK));
        DWORD exitCode = STILL_ACTIVE;
        EXPECT_TRUE(program.WaitForExit(20000, exitCode)) << "the program did not end";
        EXPECT_EQ(exitCode, 0u);
    }
    // An installer beside the module; the planted libraries there stay unused (Wine's own first).
    const PlantedFolder folder(L"kdm-unloadable",
                               {ModulePath(), BuildTreePath(L"tests\\planted_host.exe")});
    const ProgramDllOverrides overrides(L"planted_host.exe", disabled, L"");
    ProgramProcess installer(std::wstring(), folder / L"planted_host.exe");
    ASSERT_TRUE(installer.Started()) << installer.StartError();
    DWORD exitCode = STILL_ACTIVE;
    EXPECT_TRUE(installer.WaitForExit(20000, exitCode)) << "the module showed something";
    EXPECT_EQ(exitCode, static_cast<DWORD>(-1));
}

TEST_F(DownloadRun, ForAnInstallerTheNoticeComesRightBeforeTheLaunch)
{
    StartServer(VerifiedPackage());
    DialogRun run(module.ExportCall(L"601"));
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    // This host has no manifest: the module's own gives the dialog and the worker's box
    // common controls 6.
    EXPECT_TRUE(IsCommonControls6(GetDlgItem(dialog, 1005)));
    const MessageBoxInfo notice = op.WaitForMessageBox(dialog);
    ASSERT_TRUE(notice) << notice.message;
    EXPECT_TRUE(IsCommonControls6(GetDlgItem(notice.hwnd, IDOK)));
    EXPECT_EQ(notice.text.rfind(kInstallerNoticeStart, 0), 0u) << notice.Describe();
    EXPECT_EQ(notice.caption, kQuestionCaption);
    EXPECT_FALSE(notice.hasIcon);
    EXPECT_EQ(notice.buttons, std::vector<int>{IDOK});
    ExpectNothingLaunched();
    EXPECT_TRUE(op.Answer(notice, IDOK));
    const std::vector<MessageBoxInfo> after = FinishRecordingBoxes(run, dialog);
    EXPECT_TRUE(after.empty()) << DescribeAll(after);
    EXPECT_EQ(run.Result(), 1);
    ExpectLaunchedTarget();
}

// The verdicts on a complete download with a hash code that does not vouch for it.
struct VerdictCase {
    const char* name;
    std::string hashCode;
    const wchar_t* marker; // a part of the question's text
    int answer;
    int result;
};

// Names the row in test listings instead of its bytes.
void PrintTo(const VerdictCase& row, std::ostream* out)
{
    *out << row.name;
}

class Verdict : public DownloadRun, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(Verdict, AsksTheRightQuestionAndTheAnswerDecides)
{
    const VerdictCase& row = GetParam();
    StartServer(Response::Ok().Header(kHashHeader, row.hashCode).GeneratedBody(kPackageSize));
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo question = Answer(dialog, row.answer);
    EXPECT_NE(question.text.find(row.marker), std::wstring::npos) << question.Describe();
    EXPECT_EQ(question.caption, kQuestionCaption);
    EXPECT_TRUE(question.hasIcon);
    EXPECT_EQ(question.buttons, (std::vector<int>{IDYES, IDNO}));
    const std::vector<MessageBoxInfo> after = FinishRecordingBoxes(run, dialog);
    EXPECT_TRUE(after.empty()) << DescribeAll(after);
    EXPECT_EQ(run.Result(), row.result);
    if (row.result == 1) {
        ExpectLaunchedTarget();
    } else {
        ExpectNothingLaunched();
    }
    ExpectWholePackageOnDisk();
}

INSTANTIATE_TEST_SUITE_P(
    HashCodes, Verdict,
    ::testing::Values(VerdictCase{"MismatchYes", std::string(40, '0'), kMismatchMarker, IDYES, 1},
                      VerdictCase{"Empty", std::string(), kMismatchMarker, IDNO, 0},
                      VerdictCase{"OddLength", PatternSha1HexUpper(kPackageSize).substr(0, 39),
                                  kVerifyFailedMarker, IDNO, 0},
                      VerdictCase{"SixtyFourDigits",
                                  PatternSha1HexUpper(kPackageSize) + std::string(24, 'A'),
                                  kMismatchMarker, IDNO, 0}),
    [](const ::testing::TestParamInfo<VerdictCase>& info) { return std::string(info.param.name); });

// An installer's Windows version code that the program refuses: the message, then the product
// web site (the recording handler stands in for the browser), and no Save As dialog.
struct RefusalCase {
    const char* name;
    const wchar_t* code;
    const wchar_t* textStart;
};

// Names the row in test listings instead of its bytes.
void PrintTo(const RefusalCase& row, std::ostream* out)
{
    *out << row.name;
}

class Refusal : public DownloadRun, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, ShowsTheMessageThenOpensTheWebSite)
{
    const RefusalCase& row = GetParam();
    DialogRun run(module.ExportCall(row.code));
    const HWND dialog = WaitForDownloadDialog(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo box = op.WaitForMessageBox(dialog);
    ASSERT_TRUE(box) << box.message;
    EXPECT_EQ(box.text.rfind(row.textStart, 0), 0u) << box.Describe();
    EXPECT_EQ(box.caption, L"Kestrune - Download Manager");
    EXPECT_TRUE(box.hasIcon);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    ExpectNothingLaunched();
    EXPECT_TRUE(op.Answer(box, IDOK));
    const std::vector<MessageBoxInfo> after = FinishRecordingBoxes(run, dialog);
    EXPECT_TRUE(after.empty()) << DescribeAll(after);
    EXPECT_EQ(run.Result(), 0);
    ASSERT_TRUE(log.WaitForLines(1, 10000)) << log.Describe();
    const std::vector<std::wstring> arguments = LaunchLog::SplitCommandLine(log.Lines()[0]);
    ASSERT_EQ(arguments.size(), 2u) << log.Describe();
    EXPECT_EQ(arguments[1].rfind(L"http://127.0.0.2", 0), 0u) << log.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    InstallerCodes, Refusal,
    ::testing::Values(
        RefusalCase{"Windows2000", L"500", L"Kestrune is designed for Windows XP SP4"},
        RefusalCase{"Unrecognised", L"700",
                    L"The download manager does not recognize this operating system. Please go "
                    L"to http://127.0.0.2 "}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(DownloadRun, SaveAsCancelledEndsTheRunSilentlyWithoutAFile)
{
    const std::vector<std::wstring> before = PackagesInDefaultFolder();
    DialogRun run(module.ExportCall());
    const HWND dialog = WaitForDownloadDialog(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const SaveAsInfo saveAs = op.WaitForSaveAs(dialog, kSaveAsCaption);
    ASSERT_TRUE(saveAs) << saveAs.message;
    EXPECT_TRUE(op.CancelSaveAs(saveAs));
    const std::vector<MessageBoxInfo> boxes = FinishRecordingBoxes(run, dialog);
    EXPECT_TRUE(boxes.empty()) << DescribeAll(boxes);
    EXPECT_EQ(run.Result(), 0);
    EXPECT_EQ(PackagesInDefaultFolder(), before);
    ExpectNothingLaunched();
}

TEST_F(DownloadRun, ATargetThatCannotBeCreatedGivesMessage111)
{
    // A directory holds the name that the program makes of the typed one (".msi" added).
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(
        run.Owner(), 0, target.substr(0, target.size() - std::wstring(L".msi").size()));
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo box = Answer(dialog, IDOK);
    const std::wstring start =
        L"The Kestrune Download Manager could not create file '" + target + L"' because: ";
    EXPECT_EQ(box.text.rfind(start, 0), 0u) << box.Describe();
    EXPECT_EQ(box.caption, kQuestionCaption);
    EXPECT_TRUE(box.hasIcon);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    const std::vector<MessageBoxInfo> after = FinishRecordingBoxes(run, dialog);
    EXPECT_TRUE(after.empty()) << DescribeAll(after);
    EXPECT_EQ(run.Result(), 0);
    EXPECT_NE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(server.Requests().empty());
}

// The build whose download address does not resolve: IDS_SITE_UNREACHABLE and the end, before any
// Save As dialog.
TEST(UnreachableHost, Message104EndsTheRunBeforeTheSaveAsDialog)
{
    const LoadedModule module(UnreachableModulePath());
    ASSERT_NE(module.Get(), nullptr);
    const std::vector<std::wstring> before = PackagesInDefaultFolder();
    Operator op(20000);
    DialogRun run(module.ExportCall());
    const FoundWindow dialog =
        op.WaitForWindow(WindowQuery::DialogWithCaption(kDialogCaption).OwnedBy(run.Owner()));
    ASSERT_TRUE(dialog) << dialog.message;
    const MessageBoxInfo box = op.WaitForMessageBox(dialog.hwnd);
    ASSERT_TRUE(box) << box.message;
    EXPECT_EQ(box.text,
              L"The Kestrune Download Manager could not reach http://unreachable.invalid.");
    EXPECT_EQ(box.caption, kQuestionCaption);
    EXPECT_TRUE(box.hasIcon);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(op.Answer(box, IDOK));
    // A Save As dialog would hold the export.
    ASSERT_TRUE(run.Finish(10000)) << DescribeTopLevelWindows();
    EXPECT_EQ(run.Result(), 0);
    EXPECT_EQ(PackagesInDefaultFolder(), before);
}

TEST_F(DownloadRun, CancelConfirmedWhileTheFinishedDownloadWaitsGives117AndNoLaunch)
{
    StartServer(SlowVerifiedPackage());
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo question = CancelDuringTheTransfer(dialog);
    ASSERT_TRUE(question);
    // The question stays open until the whole body is through and the worker, its Cancel button
    // disabled, waits for the completion lock that the question holds.
    ASSERT_TRUE(server.WaitForFinished(1, 20000)) << server.Describe();
    ASSERT_TRUE(WaitUntil([&] { return !op.Item(dialog, 1005).enabled; }, 10000))
        << "the worker did not reach the completion";
    EXPECT_TRUE(op.Answer(question, IDYES));

    const MessageBoxInfo notice = Answer(dialog, IDOK);
    EXPECT_EQ(notice.text.rfind(L"We are sorry that you chose not to install and use our software. "
                                L"We just want to let you know that the Kestrune download was "
                                L"successfully completed",
                                0),
              0u)
        << notice.Describe();
    EXPECT_NE(notice.text.find(L"you can try Kestrune without waiting"), std::wstring::npos);
    EXPECT_EQ(notice.caption, kQuestionCaption);
    EXPECT_TRUE(notice.hasIcon);
    EXPECT_EQ(notice.buttons, std::vector<int>{IDOK});
    const std::vector<MessageBoxInfo> after = FinishRecordingBoxes(run, dialog);
    EXPECT_TRUE(after.empty()) << DescribeAll(after);
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    ExpectWholePackageOnDisk(kSlowPackageSize);
}

TEST_F(DownloadRun, CancelAnsweredNoChangesNothing)
{
    StartServer(SlowVerifiedPackage());
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const MessageBoxInfo question = CancelDuringTheTransfer(dialog);
    ASSERT_TRUE(question);
    EXPECT_TRUE(op.Answer(question, IDNO));
    const std::vector<MessageBoxInfo> after = FinishRecordingBoxes(run, dialog);
    EXPECT_TRUE(after.empty()) << DescribeAll(after);
    EXPECT_EQ(run.Result(), 1);
    ExpectLaunchedTarget();
    ExpectWholePackageOnDisk(kSlowPackageSize);
}

// Points .msi at a class that does not exist, so that the shell finds no handler, and puts the
// prefix's association back exactly as it was when the object ends.
class MsiAssociationRemoved {
public:
    MsiAssociationRemoved()
    {
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L".msi", 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS) {
            key = nullptr;
            return;
        }
        DWORD size = 0;
        hadValue = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
        if (hadValue) {
            saved.resize(size);
            hadValue = RegQueryValueExW(key, nullptr, nullptr, &type, saved.data(), &size) ==
                       ERROR_SUCCESS;
            saved.resize(size);
        }
        const wchar_t missingClass[] = L"Kdm.Test.NoSuchClass";
        removed =
            RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(missingClass),
                           sizeof(missingClass)) == ERROR_SUCCESS;
    }
    ~MsiAssociationRemoved()
    {
        if (key == nullptr) {
            return;
        }
        if (hadValue) {
            RegSetValueExW(key, nullptr, 0, type, saved.data(), static_cast<DWORD>(saved.size()));
        } else {
            RegDeleteValueW(key, nullptr);
        }
        RegCloseKey(key);
    }
    MsiAssociationRemoved(const MsiAssociationRemoved&) = delete;
    MsiAssociationRemoved& operator=(const MsiAssociationRemoved&) = delete;

    bool Removed() const { return removed; }

private:
    HKEY key = nullptr;
    bool hadValue = false;
    bool removed = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> saved;
};

TEST_F(DownloadRun, ALaunchThatFailsGivesMessage115AndResultZero)
{
    MsiAssociationRemoved noHandler;
    ASSERT_TRUE(noHandler.Removed());
    StartServer(VerifiedPackage());
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const std::vector<MessageBoxInfo> boxes = FinishRecordingBoxes(run, dialog);
    ASSERT_EQ(boxes.size(), 1u) << DescribeAll(boxes);
    EXPECT_EQ(boxes[0].text, kLaunchFailedText);
    EXPECT_EQ(boxes[0].caption, kQuestionCaption);
    EXPECT_TRUE(boxes[0].hasIcon);
    EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    ExpectWholePackageOnDisk();
}

// A body that stops short of its Content-Length, closed or reset: the dialog ends with 0 and
// nothing is shown, above all nothing that takes the download for complete.
struct FaultCase {
    const char* name;
    bool reset;
};

// Names the row in test listings instead of its bytes.
void PrintTo(const FaultCase& row, std::ostream* out)
{
    *out << row.name;
}

class NetworkFault : public DownloadRun, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(NetworkFault, EndsTheRunWithZeroAndNoMessage)
{
    const std::uint64_t sent = 100000;
    Response response = VerifiedPackage().Pieces(8192, 0);
    if (GetParam().reset) {
        response.ResetAfter(sent);
    } else {
        response.CloseAfter(sent);
    }
    StartServer(response);
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const std::vector<MessageBoxInfo> boxes = FinishRecordingBoxes(run, dialog);
    EXPECT_TRUE(boxes.empty()) << DescribeAll(boxes);
    EXPECT_EQ(run.Result(), 0);
    ExpectNothingLaunched();
    const std::string bytes = ReadFileBytes(target);
    EXPECT_LE(bytes.size(), sent);
    EXPECT_EQ(FirstPatternMismatch(bytes), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(TruncatedBodies, NetworkFault,
                         ::testing::Values(FaultCase{"Closed", false}, FaultCase{"Reset", true}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

// Servers that misbehave as real networks and servers do, one script each. A body breaks off with
// an early close, not a reset: a reset throws away what a slow client has not read yet (under
// emulation, tens of kilobytes), and the scripted range answers expect the cut where it was made.
// NetworkFault covers the reset itself. Every row checks how the run ends, how soon after a
// confirmed cancel (the cancel comes once `cancelAfter` body bytes of the first response were
// sent), the file on disk byte for byte (a prefix of the package of `fileBytes`) and the requests
// made: a resumed one asks for the rest with a range.
struct HostileCase {
    const char* name;
    std::vector<Response> script;
    bool redirectForever;
    bool cancel;
    std::uint64_t cancelAfter;
    int result;
    std::uint64_t fileBytes;
    std::size_t requests;
};

void PrintTo(const HostileCase& row, std::ostream* out)
{
    *out << row.name;
}

const std::uint64_t kCut = 100000;

class HostileServer : public DownloadRun, public ::testing::WithParamInterface<HostileCase> {};

// The package from byte `from` on, with what a resumable answer carries: a 200 from byte 0, else
// a 206 whose Content-Range says `from`.
Response Ranged(std::uint64_t from)
{
    Response response = from == 0
                            ? Response::Ok()
                            : Response::Status(206, "Partial Content")
                                  .Header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                               std::to_string(kPackageSize - 1) +
                                                               "/" + std::to_string(kPackageSize));
    return response.Header(kHashHeader, PatternSha1HexUpper(kPackageSize))
        .Header("Accept-Ranges", "bytes")
        .Header("ETag", "\"v1\"")
        .GeneratedPart(from, kPackageSize - from)
        .Pieces(8192, 0);
}

// `count` redirects, each sent after `delayMs`, then `last`.
std::vector<Response> Redirects(int count, const Response& last, DWORD delayMs = 0)
{
    std::vector<Response> script;
    for (int i = 0; i < count; ++i) {
        script.push_back(Response::Status(302, "Found")
                             .Header("Location", "/next" + std::to_string(i))
                             .HeaderDelay(delayMs));
    }
    script.push_back(last);
    return script;
}

TEST_P(HostileServer, EndsAsTheUserAndTheServerAllow)
{
    const HostileCase& row = GetParam();
    for (const Response& response : row.script) {
        server.Enqueue(response);
    }
    if (row.redirectForever) {
        server.SetFallback(Response::RedirectToNewPath());
    }
    ASSERT_TRUE(server.Start("127.0.0.1", 80)) << server.LastError();
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    if (row.cancel) {
        ASSERT_TRUE(WaitUntil(
            [&] {
                const std::vector<ServedExchange> served = server.Exchanges();
                return !served.empty() && served[0].bodyBytesSent >= row.cancelAfter &&
                       (row.cancelAfter > 0 || served[0].finished);
            },
            10000))
            << server.Describe();
        Sleep(ScaledMs(300));
        ASSERT_TRUE(op.PressButton(dialog, 1005));
        const MessageBoxInfo question = op.WaitForMessageBox(dialog);
        ASSERT_TRUE(question.HasButton(IDYES)) << question.Describe();
        const DWORD confirmed = GetTickCount();
        ASSERT_TRUE(op.Answer(question, IDYES));
        ASSERT_TRUE(run.Finish(10000)) << "the confirmed cancel did not end the run";
        const DWORD elapsed = GetTickCount() - confirmed;
        std::printf("[ %s ] confirmed cancel to run end: %lu ms\n", row.name, elapsed);
        EXPECT_LE(elapsed, ScaledMs(1000));
    } else {
        const std::vector<MessageBoxInfo> boxes = FinishRecordingBoxes(run, dialog);
        EXPECT_TRUE(boxes.empty()) << DescribeAll(boxes);
    }
    EXPECT_EQ(run.Result(), row.result);
    if (row.result == 1) {
        ExpectLaunchedTarget();
    } else {
        ExpectNothingLaunched();
    }
    const std::string bytes = ReadFileBytes(target);
    EXPECT_EQ(bytes.size(), row.fileBytes);
    EXPECT_EQ(FirstPatternMismatch(bytes), std::string::npos);
    const std::vector<RecordedRequest> requests = server.Requests();
    if (row.cancel) {
        // Requests made before the cancel came: at least those of the row; more where the user's
        // answer takes longer (under emulation), but never every hop of a redirect chain.
        ASSERT_GE(requests.size(), row.requests) << server.Describe();
        ASSERT_LE(requests.size(), static_cast<std::size_t>(kRedirectLimit)) << server.Describe();
    } else {
        ASSERT_EQ(requests.size(), row.requests) << server.Describe();
    }
    for (const RecordedRequest& request : requests) {
        EXPECT_EQ(request.Values("NORVALIS_PRODUCT").size(), 1u) << request.raw;
    }
    if (row.requests > 1 && !row.script.empty() && row.script[0].status == 200 &&
        !row.script[0].headers.empty() && row.script[0].headers.back().name == "ETag") {
        const RecordedHeader* range = requests[1].Find("Range");
        ASSERT_NE(range, nullptr) << requests[1].raw;
        EXPECT_EQ(range->value, "bytes=" + std::to_string(kCut) + "-");
        ASSERT_NE(requests[1].Find("If-Range"), nullptr) << requests[1].raw;
        EXPECT_EQ(requests[1].Find("If-Range")->value, "\"v1\"");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileServer,
    ::testing::Values(
        HostileCase{"SilentBeforeHeaders", {Response::StallForever()}, false, true, 0, 0, 0, 1},
        HostileCase{"SilentMidBody",
                    {DownloadRun::VerifiedPackage().Pieces(8192, 0).StallAfter(kCut)},
                    false,
                    true,
                    kCut,
                    0,
                    kCut,
                    1},
        HostileCase{"SilentMidBodyResumes",
                    {Ranged(0).StallAfter(kCut), Ranged(kCut)},
                    false,
                    false,
                    0,
                    1,
                    kPackageSize,
                    2},
        HostileCase{"EndlessRedirects", {}, true, false, 0, 0, 0, 11},
        HostileCase{"CancelBetweenRedirects", Redirects(10, DownloadRun::VerifiedPackage(), 2000),
                    false, true, 0, 0, 0, 2},
        HostileCase{"TenRedirects", Redirects(10, DownloadRun::VerifiedPackage()), false, false, 0,
                    1, kPackageSize, 11},
        HostileCase{"ElevenRedirects", Redirects(11, DownloadRun::VerifiedPackage()), false, false,
                    0, 0, 0, 11},
        HostileCase{"ClosedWithRanges",
                    {Ranged(0).CloseAfter(kCut), Ranged(kCut)},
                    false,
                    false,
                    0,
                    1,
                    kPackageSize,
                    2},
        HostileCase{"BrokenTwice",
                    {Ranged(0).CloseAfter(kCut), Ranged(kCut).CloseAfter(kCut), Ranged(2 * kCut)},
                    false,
                    false,
                    0,
                    1,
                    kPackageSize,
                    3},
        HostileCase{"ClosedWithoutRanges",
                    {DownloadRun::VerifiedPackage().Pieces(8192, 0).CloseAfter(kCut)},
                    false,
                    false,
                    0,
                    0,
                    kCut,
                    1},
        HostileCase{"WholeAnswerToTheRange",
                    {Ranged(0).CloseAfter(kCut), DownloadRun::VerifiedPackage()},
                    false,
                    false,
                    0,
                    1,
                    kPackageSize,
                    2},
        HostileCase{
            "PartialAnswerElsewhere",
            {Ranged(0).CloseAfter(kCut), Ranged(0)
                                             .StatusLine("HTTP/1.1 206 Partial Content")
                                             .Header("Content-Range", "bytes 0-299999/300000")},
            false,
            false,
            0,
            0,
            kCut,
            2}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

// Whole runs of the keyed loopback build (maker-a's and maker-b's keys built in) with the packages
// of sign_packages.sh: only a package with the maker's valid signature goes on to the hash-code
// verdict; anything else is removed after one error box. The unkeyed build ignores the header.
struct SignatureCase {
    const char* name;
    bool keyed;
    const char* body;      // package or replaced
    bool hashCode;         // the body's own SHA-1, as a man in the middle would send it
    const char* signature; // a file of sign_packages.sh; null: no header
    std::size_t cut;       // characters removed from the end of the signature
    const char* insert;    // put at the signature's start
    const wchar_t* marker; // the one box shown; null: none
    int result;
};

// Names the row in test listings instead of its bytes.
void PrintTo(const SignatureCase& row, std::ostream* out)
{
    *out << row.name;
}

const wchar_t kNotSignedMarker[] = L"does not carry a valid signature of the maker of Kestrune.";
const wchar_t kNoHashCodeMarker[] = L"the web server did not supply data integrity";

std::string SignedFixture(const std::string& name)
{
    return ReadFileBytes(BuildTreePath(L"tests\\signed-packages\\" + FromUtf8(name)));
}

class PackageSignature : public DownloadRun, public ::testing::WithParamInterface<SignatureCase> {
protected:
    PackageSignature() : DownloadRun(GetParam().keyed ? KeyedModulePath() : ModulePath()) {}
};

TEST_P(PackageSignature, OnlyTheMakersSignedPackageIsLaunched)
{
    const SignatureCase& row = GetParam();
    const std::string body = SignedFixture(std::string(row.body) + ".bin");
    ASSERT_EQ(body.size(), 300000u) << "sign_packages.sh did not run";
    Response response = Response::Ok().Body(body);
    if (row.hashCode) {
        response.Header(kHashHeader, SignedFixture(std::string(row.body) + ".sha1"));
    }
    if (row.signature != nullptr) {
        std::string signature = SignedFixture(row.signature);
        signature = row.insert + signature.substr(0, signature.size() - row.cut);
        response.Header("NORVALIS-DOWNLOAD-SIGNATURE", signature);
    }
    server.Enqueue(response);
    // The keyed build downloads from an address of its own.
    ASSERT_TRUE(server.Start(row.keyed ? "127.0.0.27" : "127.0.0.1", 80)) << server.LastError();
    DialogRun run(module.ExportCall());
    const HWND dialog = SaveAsTarget(run.Owner());
    ASSERT_NE(dialog, nullptr);
    const std::vector<MessageBoxInfo> boxes = FinishRecordingBoxes(run, dialog);
    EXPECT_EQ(run.Result(), row.result) << server.Describe();
    ASSERT_EQ(boxes.size(), row.marker == nullptr ? 0u : 1u) << DescribeAll(boxes);
    if (row.marker != nullptr) {
        EXPECT_NE(boxes[0].text.find(row.marker), std::wstring::npos) << boxes[0].Describe();
    }
    const std::string saved = ReadFileBytes(target);
    if (row.marker == kNotSignedMarker) {
        EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
        EXPECT_NE(boxes[0].text.find(L"from http://127.0.0.2 instead."), std::wstring::npos);
        EXPECT_EQ(GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES);
    } else {
        EXPECT_TRUE(saved == body) << saved.size() << " bytes saved";
    }
    if (row.result == 1) {
        ExpectLaunchedTarget();
    } else {
        ExpectNothingLaunched();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packages, PackageSignature,
    ::testing::Values(
        SignatureCase{"Valid", true, "package", true, "package.maker-a.sig", 0, "", nullptr, 1},
        SignatureCase{"SecondKey", true, "package", true, "package.maker-b.sig", 0, "", nullptr, 1},
        SignatureCase{"ValidWithoutHashCode", true, "package", false, "package.maker-a.sig", 0, "",
                      kNoHashCodeMarker, 0},
        SignatureCase{"ReplacedUnsigned", true, "replaced", true, nullptr, 0, "", kNotSignedMarker,
                      0},
        SignatureCase{"ReplacedOldSignature", true, "replaced", true, "package.maker-a.sig", 0, "",
                      kNotSignedMarker, 0},
        SignatureCase{"ReplacedOtherKey", true, "replaced", true, "replaced.stranger.sig", 0, "",
                      kNotSignedMarker, 0},
        SignatureCase{"Truncated", true, "package", true, "package.maker-a.sig", 4, "",
                      kNotSignedMarker, 0},
        SignatureCase{"NotBase64", true, "package", true, "package.maker-a.sig", 4,
                      "!A*=", kNotSignedMarker, 0},
        SignatureCase{"UnkeyedIgnoresIt", false, "replaced", true, "package.maker-a.sig", 0, "",
                      nullptr, 1}),
    [](const ::testing::TestParamInfo<SignatureCase>& info) {
        return std::string(info.param.name);
    });

// The loopback build as make release signs the shipped one: the signature changes nothing in a
// run of the module or of the program.
class SignedDownloadRun : public DownloadRun {
protected:
    SignedDownloadRun() : DownloadRun(SignedModulePath()) {}

    void SetUp() override
    {
        DownloadRun::SetUp();
        wchar_t loaded[MAX_PATH] = {};
        GetModuleFileNameW(module.Get(), loaded, MAX_PATH);
        ASSERT_EQ(lstrcmpiW(loaded, SignedModulePath().c_str()), 0) << ToUtf8(loaded);
    }
};

TEST_F(SignedDownloadRun, TheSignedModuleLaunchesAVerifiedPackage)
{
    RunVerifiedPackageThroughTheModule();
}

TEST_F(SignedDownloadRun, TheSignedProgramLaunchesAVerifiedPackage)
{
    RunVerifiedPackageThroughTheProgram(SignedProgramPath());
}

} // namespace
} // namespace kdm_test
