// The resources of the built binaries, read back from the files: dialog template, string table,
// icon group, version block and manifest, for both programs and both address variants.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <map>
#include <string>
#include <vector>

#include "tests/support/BuiltModule.h"

namespace {

using kdm_test::BuildTreePath;
using kdm_test::DataModule;

const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

struct Variant {
    const wchar_t* path;
    const wchar_t* downloadUrl;
    const wchar_t* websiteUrl;
};

const Variant kVariants[] = {
    {L"bin\\KestruneDownloadManager.exe", L"http://download.kestrune.example",
     L"http://www.kestrune.example"},
    {L"bin\\KestruneDownloadManager.dll", L"http://download.kestrune.example",
     L"http://www.kestrune.example"},
    {L"loopback-bin\\KestruneDownloadManager.dll", L"http://127.0.0.1", L"http://127.0.0.2"},
};

std::vector<unsigned char> ResourceBytes(HMODULE module, const wchar_t* type, const wchar_t* name)
{
    HRSRC info = FindResourceExW(module, type, name, kEnglishUs);
    if (info == nullptr)
        return {};
    const unsigned char* bytes =
        static_cast<const unsigned char*>(LockResource(LoadResource(module, info)));
    return std::vector<unsigned char>(bytes, bytes + SizeofResource(module, info));
}

std::map<UINT, std::wstring> ExpectedStrings(const Variant& variant)
{
    const std::wstring download = variant.downloadUrl;
    const std::wstring website = variant.websiteUrl;
    return {
        {102, L"Download Manager"},
        {103, download},
        {104, L"The %s %s could not reach " + download + L"."},
        {105, L"%s is designed for Windows XP SP4, and later operating systems. %s cannot be "
              L"installed on this machine. To download the appropriate installation package for "
              L"your system please go to " +
                  website + L"."},
        {106, L"The download manager does not recognize this operating system. Please go to " +
                  website +
                  L" to obtain a compatible version of the download manager or otherwise "
                  L"download %s."},
        {108, website},
        {109, L"%s 2012 - Setup for Windows %s, %s bit"},
        {110, L"%s %s - Please select convenient download folder and filename"},
        {111, L"The %s %s could not create file '%s' because: %s"},
        {112, L"Are you sure that you want to cancel this download?\r\n\r\nKestrune is an "
              L"excellent software that can help protect you and your data privacy, security and "
              L"safety, build online trust in your business or website, and simplify file "
              L"management!\r\n\r\nWhat\x2019s more , you can try Kestrune for FREE for 30 days, "
              L"and if you buy a license you have an additional 30 day Money Back Guarantee "
              L"\x2013 no questions asked. If you just require the software for personal use, "
              L"there is a free ad-driven license - so you don\x2019t have to pay a penny if you "
              L"prefer it that way."},
        {113, L"out of [unknown] bytes"},
        {114, L"out of %s bytes"},
        {115, L"The system could not launch the installer package. Please start the installer "
              L"manually."},
        {116, L"Connecting"},
        {117, L"We are sorry that you chose not to install and use our software. We just want to "
              L"let you know that the %s download was successfully completed while you were "
              L"contemplating installing it. Should you change your mind you can try %s without "
              L"waiting for a new download."},
        {118, L"The installation package was downloaded successfully, however the web server did "
              L"not supply data integrity verification hash code.\n\nDo you want to install the "
              L"installation package anyway?"},
        {119, L"The installation package was downloaded successfully, however the data integrity "
              L"verification hash code supplied by the web server does not match the code "
              L"computed by the %s. This may be due to data transmission errors.\n\nPlease make "
              L"sure to use the latest %s, available from " +
                  website +
                  L", and try again. Alternatively, download the installation package suitable "
                  L"for your system available from the same web address.\n\nDo you want to "
                  L"install the downloaded installation package anyway?"},
        {120, L"The installation package was downloaded successfully, however the %s encountered "
              L"a generic exception while verifying the data integrity of the download.\n\nDo "
              L"you want to install the downloaded installation package anyway?"},
        {121, L"Verifying:"},
        {122, L"The download of the latest software installation package was successfully "
              L"completed. The current installation will now close and will instead launch the "
              L"installation of the latest software."},
        {123, L"The downloaded installation package does not carry a valid signature of the "
              L"maker of %s. It may have been changed on its way to this computer, so the %s has "
              L"deleted it and will not install it.\n\nPlease get %s from " +
                  website + L" instead."},
    };
}

// Every entry of the string table, by id, read from the raw blocks (length-prefixed UTF-16).
std::map<UINT, std::wstring> StringTable(HMODULE module, std::vector<UINT>& blocks)
{
    std::map<UINT, std::wstring> table;
    for (UINT block = 1; block <= 4096; ++block) {
        const std::vector<unsigned char> bytes =
            ResourceBytes(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(block));
        if (bytes.empty())
            continue;
        blocks.push_back(block);
        std::vector<wchar_t> units(bytes.size() / 2);
        std::memcpy(units.data(), bytes.data(), units.size() * 2);
        size_t at = 0;
        for (UINT entry = 0; entry < 16 && at < units.size(); ++entry) {
            const size_t length = units[at++];
            if (length != 0)
                table[(block - 1) * 16 + entry] = std::wstring(&units[at], length);
            at += length;
        }
    }
    return table;
}

TEST(Resources, StringTableHoldsExactlyTheProgramTexts)
{
    for (const Variant& variant : kVariants) {
        SCOPED_TRACE(testing::Message()
                     << "module "
                     << std::string(variant.path, variant.path + wcslen(variant.path)));
        DataModule module(BuildTreePath(variant.path));
        ASSERT_NE(module.Get(), nullptr) << GetLastError();
        std::vector<UINT> blocks;
        const std::map<UINT, std::wstring> table = StringTable(module.Get(), blocks);
        EXPECT_EQ(blocks, (std::vector<UINT>{7, 8}));
        const std::map<UINT, std::wstring> expected = ExpectedStrings(variant);
        EXPECT_EQ(table.size(), expected.size());
        for (const auto& entry : expected) {
            const auto found = table.find(entry.first);
            ASSERT_NE(found, table.end()) << "string " << entry.first << " is missing";
            EXPECT_TRUE(found->second == entry.second) << "string " << entry.first << " differs";
        }
    }
}

// Reads the parts of an extended dialog template in order.
class TemplateReader {
public:
    explicit TemplateReader(const std::vector<unsigned char>& bytes) : bytes(bytes) {}

    WORD Word() { return Read<WORD>(); }
    DWORD Dword() { return Read<DWORD>(); }
    short Short() { return Read<short>(); }
    BYTE Byte() { return Read<BYTE>(); }
    // A name or an ordinal, as "#<n>".
    std::wstring NameOrOrdinal()
    {
        const WORD first = Word();
        if (first == 0)
            return L"";
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(Word());
        std::wstring text(1, static_cast<wchar_t>(first));
        return text + Text();
    }
    std::wstring Text()
    {
        std::wstring text;
        for (WORD unit = Word(); unit != 0; unit = Word())
            text += static_cast<wchar_t>(unit);
        return text;
    }
    void AlignDword() { at = (at + 3) & ~static_cast<size_t>(3); }

private:
    template <typename T> T Read()
    {
        T value{};
        if (at + sizeof(T) > bytes.size())
            throw std::out_of_range("template ends early");
        std::memcpy(&value, &bytes[at], sizeof(T));
        at += sizeof(T);
        return value;
    }

    const std::vector<unsigned char>& bytes;
    size_t at = 0;
};

struct ControlRow {
    int id;
    std::wstring className;
    std::wstring text;
    DWORD style;
    short x, y, cx, cy;
};

// Window class names compare without regard to case (the resource compiler stores them upper
// case), and a predefined class may be stored as its ordinal.
std::wstring ClassName(const std::wstring& name)
{
    if (name == L"#128")
        return L"BUTTON";
    if (name == L"#130")
        return L"STATIC";
    std::wstring upper = name;
    CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    return upper;
}

TEST(Resources, DialogTemplateMatchesTheLayout)
{
    const DWORD child = WS_CHILD | WS_VISIBLE;
    const std::vector<ControlRow> expected = {
        {1003, L"Static", L"Static", child | WS_GROUP | SS_LEFT, 7, 7, 29, 28},
        {1002, L"Static", L"Downloading:", child | WS_GROUP | SS_SIMPLE | SS_NOPREFIX, 62, 11, 63,
         14},
        {1007, L"Static", L"", child | WS_GROUP | SS_LEFT, 201, 12, 106, 8},
        {1004, L"Static", L"OS", child | WS_GROUP | SS_LEFT, 63, 26, 335, 14},
        {1006, L"Static",
         L"Thank you for downloading Kestrune, 2012. Remember that we have created video "
         L"tutorials to help you make the most of Kestrune. If you have any questions, please "
         L"feel welcome to participate in the forums or ask us, we are always happy to help.",
         child | WS_GROUP | SS_LEFT, 7, 75, 391, 27},
        {1000, L"msctls_progress32", L"", child | WS_BORDER, 7, 51, 391, 14},
        {-1, L"Static", L"Made by Norvalis", child | WS_GROUP | SS_LEFT, 7, 108, 207, 8},
        {1001, L"Button", L"Go to website", child | BS_PUSHBUTTON | WS_TABSTOP, 262, 102, 67, 14},
        {1005, L"Button", L"Cancel", child | BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 331, 102, 67,
         14},
        {1008, L"Static", L"", child | WS_GROUP | SS_RIGHT, 129, 12, 69, 8},
    };

    DataModule module(BuildTreePath(kVariants[0].path));
    const std::vector<unsigned char> bytes =
        ResourceBytes(module.Get(), MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(101));
    ASSERT_FALSE(bytes.empty()) << "dialog 101 (English, United States) is missing";
    TemplateReader reader(bytes);
    EXPECT_EQ(reader.Word(), 1);      // dlgVer
    EXPECT_EQ(reader.Word(), 0xFFFF); // extended template
    reader.Dword();                   // help id
    EXPECT_EQ(reader.Dword(), 0u);    // no extended style
    EXPECT_EQ(reader.Dword(), static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU |
                                                 DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS));
    const WORD controls = reader.Word();
    EXPECT_EQ(reader.Short(), 0);
    EXPECT_EQ(reader.Short(), 0);
    EXPECT_EQ(reader.Short(), 405);
    EXPECT_EQ(reader.Short(), 123);
    EXPECT_EQ(reader.NameOrOrdinal(), L""); // no menu
    EXPECT_EQ(reader.NameOrOrdinal(), L""); // standard dialog class
    EXPECT_EQ(reader.Text(), L"Kestrune Download Manager");
    EXPECT_EQ(reader.Word(), 8); // points
    EXPECT_EQ(reader.Word(), 0); // weight
    EXPECT_EQ(reader.Byte(), 0); // italic
    EXPECT_EQ(reader.Byte(), 1); // character set
    EXPECT_EQ(reader.Text(), L"MS Shell Dlg");

    ASSERT_EQ(controls, expected.size());
    for (const ControlRow& row : expected) {
        SCOPED_TRACE(testing::Message() << "control " << row.id);
        reader.AlignDword();
        reader.Dword();                // help id
        EXPECT_EQ(reader.Dword(), 0u); // extended style
        EXPECT_EQ(reader.Dword(), row.style);
        EXPECT_EQ(reader.Short(), row.x);
        EXPECT_EQ(reader.Short(), row.y);
        EXPECT_EQ(reader.Short(), row.cx);
        EXPECT_EQ(reader.Short(), row.cy);
        EXPECT_EQ(static_cast<int>(reader.Dword()), row.id);
        EXPECT_EQ(ClassName(reader.NameOrOrdinal()), ClassName(row.className));
        EXPECT_EQ(reader.NameOrOrdinal(), row.text);
        EXPECT_EQ(reader.Word(), 0); // no creation data
    }
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)

TEST(Resources, IconGroupHasEverySizeInEveryDepth)
{
    DataModule module(BuildTreePath(kVariants[0].path));
    const std::vector<unsigned char> bytes =
        ResourceBytes(module.Get(), MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(100));
    ASSERT_GE(bytes.size(), 6u) << "icon group 100 is missing";
    WORD count = 0;
    std::memcpy(&count, &bytes[4], sizeof(count));
    ASSERT_EQ(bytes.size(), 6 + count * sizeof(GroupIconEntry));

    std::map<int, std::vector<int>> depthsBySize;
    for (WORD i = 0; i < count; ++i) {
        GroupIconEntry entry{};
        std::memcpy(&entry, &bytes[6 + i * sizeof(entry)], sizeof(entry));
        const int size = entry.width == 0 ? 256 : entry.width;
        EXPECT_EQ(entry.width, entry.height);
        depthsBySize[size].push_back(entry.bitCount);
        const std::vector<unsigned char> image =
            ResourceBytes(module.Get(), MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(entry.id));
        EXPECT_EQ(image.size(), entry.bytesInRes) << "image " << entry.id;
    }
    for (auto& sizes : depthsBySize)
        std::sort(sizes.second.begin(), sizes.second.end());
    const std::map<int, std::vector<int>> expected = {
        {16, {4, 8, 32}}, {24, {4, 8, 32}}, {32, {4, 8, 32}}, {48, {4, 8, 32}}, {256, {32}}};
    EXPECT_EQ(depthsBySize, expected);
}

std::wstring VersionValue(const std::wstring& file, const wchar_t* subBlock)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<unsigned char> block(size);
    if (size == 0 || !GetFileVersionInfoW(file.c_str(), 0, size, block.data()))
        return L"<no version block>";
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), subBlock, &value, &length))
        return L"<missing>";
    if (std::wstring(subBlock) == L"\\") {
        const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
               std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
               std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
               std::to_wstring(LOWORD(fixed->dwFileVersionLS)) + L" " +
               std::to_wstring(HIWORD(fixed->dwProductVersionMS)) + L"." +
               std::to_wstring(LOWORD(fixed->dwProductVersionMS)) + L"." +
               std::to_wstring(HIWORD(fixed->dwProductVersionLS)) + L"." +
               std::to_wstring(LOWORD(fixed->dwProductVersionLS));
    }
    if (std::wstring(subBlock) == L"\\VarFileInfo\\Translation") {
        const WORD* pair = static_cast<const WORD*>(value);
        return length == 4 ? std::to_wstring(pair[0]) + L"," + std::to_wstring(pair[1])
                           : L"<" + std::to_wstring(length) + L" bytes>";
    }
    return static_cast<const wchar_t*>(value);
}

TEST(Resources, VersionBlockCarriesTheProductValues)
{
    const std::vector<std::pair<const wchar_t*, const wchar_t*>> expected = {
        {L"\\", L"1.0.0.2 2.0.33.1397"},
        {L"\\VarFileInfo\\Translation", L"1033,1200"},
        {L"\\StringFileInfo\\040904b0\\ProductName", L"Kestrune"},
        {L"\\StringFileInfo\\040904b0\\InternalName", L"Download Manager"},
        {L"\\StringFileInfo\\040904b0\\ProductVersion", L"2.0.33.1397"},
        {L"\\StringFileInfo\\040904b0\\FileVersion", L"1.0.0.2"},
        {L"\\StringFileInfo\\040904b0\\CompanyName", L"Norvalis"},
        {L"\\StringFileInfo\\040904b0\\OriginalFilename", L"Kestrune Download Manager"},
    };
    for (const Variant& variant : kVariants) {
        const std::wstring file = BuildTreePath(variant.path);
        for (const auto& row : expected)
            EXPECT_TRUE(VersionValue(file, row.first) == row.second)
                << "version value " << std::string(row.first, row.first + wcslen(row.first));
    }
}

TEST(Resources, ManifestAsksForCommonControls6AndNamesTheSupportedSystems)
{
    DataModule module(BuildTreePath(kVariants[0].path));
    const std::vector<unsigned char> bytes =
        ResourceBytes(module.Get(), MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    const std::string manifest(bytes.begin(), bytes.end());
    for (const char* part : {
             "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
             "processorArchitecture=\"*\"", "level=\"asInvoker\" uiAccess=\"false\"",
             "{e2011457-1546-43c5-a5fe-008deee3d3f0}", // Vista
             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // 7
             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // 8
             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // 8.1
         }) {
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    }
}

} // namespace
