// The loopback binaries as make release signs the shipped ones, read back against the unsigned
// ones they were made from: the same resources, imports and exports, and a signature that Windows
// finds and whose digest covers the file.
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/e2e/ModuleHost.h"
#include "tests/support/BuiltModule.h"
#include "tests/support/PeImage.h"
#include "tests/support/TextUtil.h"

namespace kdm_test {
namespace {

struct SignedPair {
    std::wstring unsignedPath;
    std::wstring signedPath;
};

std::vector<SignedPair> SignedPairs()
{
    return {{ModulePath(), SignedModulePath()}, {ProgramPath(), SignedProgramPath()}};
}

// Every resource of a module, by "type/name/language", with its bytes.
typedef std::map<std::wstring, std::vector<unsigned char>> ResourceMap;

std::wstring ResourceId(const wchar_t* id)
{
    return IS_INTRESOURCE(id) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(id))
                              : std::wstring(id);
}

BOOL CALLBACK AddLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language,
                          LONG_PTR resources)
{
    try {
        const HRSRC info = FindResourceExW(module, type, name, language);
        const unsigned char* bytes =
            static_cast<const unsigned char*>(LockResource(LoadResource(module, info)));
        if (bytes == nullptr) {
            return FALSE;
        }
        (*reinterpret_cast<ResourceMap*>(resources))[ResourceId(type) + L"/" + ResourceId(name) +
                                                     L"/" + std::to_wstring(language)] =
            std::vector<unsigned char>(bytes, bytes + SizeofResource(module, info));
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL CALLBACK AddName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR resources)
{
    return EnumResourceLanguagesW(module, type, name, AddLanguage, resources);
}

BOOL CALLBACK AddType(HMODULE module, LPWSTR type, LONG_PTR resources)
{
    return EnumResourceNamesW(module, type, AddName, resources);
}

ResourceMap AllResources(const std::wstring& path)
{
    ResourceMap resources;
    const DataModule module(path);
    if (module.Get() != nullptr &&
        !EnumResourceTypesW(module.Get(), AddType, reinterpret_cast<LONG_PTR>(&resources))) {
        resources.clear();
    }
    return resources;
}

// Every import of a binary, static and delay-loaded, as "library!function", read from its file.
std::vector<std::string> ImportNames(const std::wstring& path)
{
    std::vector<std::string> names;
    for (const PeImport& import : PeImage::FromFile(path).Imports()) {
        names.push_back(import.library + (import.delayLoaded ? "!(delayed)" : "!") +
                        import.function);
    }
    return names;
}

// The offset of each decorated export from the module's base, loaded as a module.
std::vector<ULONG_PTR> ExportOffsets(const std::wstring& path)
{
    std::vector<ULONG_PTR> offsets;
    const HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        return offsets;
    }
    for (const char* name : {kDownloadFileName, kDownloadFileForInstallerName}) {
        const FARPROC address = GetProcAddress(module, name);
        offsets.push_back(address == nullptr ? 0
                                             : reinterpret_cast<ULONG_PTR>(address) -
                                                   reinterpret_cast<ULONG_PTR>(module));
    }
    FreeLibrary(module);
    return offsets;
}

// WinVerifyTrust's verdict on a file's Authenticode signature, without any user interface or
// revocation check.
LONG TrustVerdict(const std::wstring& path)
{
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return verdict;
}

TEST(SignedBinaries, HoldTheSameResourcesImportsAndExportsAsTheUnsignedOnes)
{
    for (const SignedPair& pair : SignedPairs()) {
        SCOPED_TRACE(ToUtf8(pair.signedPath));
        const ResourceMap before = AllResources(pair.unsignedPath);
        const ResourceMap after = AllResources(pair.signedPath);
        EXPECT_FALSE(before.empty());
        EXPECT_TRUE(after == before)
            << after.size() << " resources, " << before.size() << " before signing";
        const std::vector<std::string> imports = ImportNames(pair.unsignedPath);
        EXPECT_FALSE(imports.empty());
        EXPECT_EQ(ImportNames(pair.signedPath), imports);
    }
    const std::vector<ULONG_PTR> before = ExportOffsets(ModulePath());
    ASSERT_EQ(before.size(), 2u);
    EXPECT_NE(before[0], 0u);
    EXPECT_NE(before[1], 0u);
    EXPECT_EQ(ExportOffsets(SignedModulePath()), before);
}

// Windows must find the signature and the file's digest in it, and a changed byte must break the
// digest. The throwaway certificate chains to no trusted root: Windows answers CERT_E_UNTRUSTEDROOT
// for it, Wine 8 trusts it.
TEST(SignedBinaries, CarryASignatureWhoseDigestWindowsAccepts)
{
    for (const SignedPair& pair : SignedPairs()) {
        SCOPED_TRACE(ToUtf8(pair.signedPath));
        EXPECT_EQ(TrustVerdict(pair.unsignedPath), TRUST_E_NOSIGNATURE);
        const LONG verdict = TrustVerdict(pair.signedPath);
        EXPECT_TRUE(verdict == ERROR_SUCCESS || verdict == CERT_E_UNTRUSTEDROOT)
            << std::hex << "0x" << static_cast<unsigned long>(verdict);

        std::string bytes = ReadFileBytes(pair.signedPath);
        ASSERT_GT(bytes.size(), 0x2000u);
        bytes[0x1800] = static_cast<char>(bytes[0x1800] ^ 0x55);
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        const std::wstring changed = std::wstring(folder) + L"kdm-signed-changed.bin";
        ASSERT_TRUE(WriteFileBytes(changed, bytes)) << Win32ErrorText(GetLastError());
        EXPECT_EQ(TrustVerdict(changed), TRUST_E_BAD_DIGEST);
        DeleteFileW(changed.c_str());
    }
}

} // namespace
} // namespace kdm_test
