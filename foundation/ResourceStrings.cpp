#include "foundation/ResourceStrings.h"

#include "foundation/SystemLibraries.h"

HINSTANCE moduleInstance = nullptr;

namespace {

MStringExException Missing()
{
    return MStringExException(MStringExException::ResourceMissing);
}

HMODULE TextModule()
{
    return moduleInstance != nullptr ? moduleInstance : GetModuleHandleW(nullptr);
}

} // namespace

// A string table holds its strings in blocks of 16: block n (counted from 1) has the ids
// 16 (n - 1) to 16 (n - 1) + 15, each entry a 16-bit length followed by that many code units.
MStringEx<wchar_t> ResourceString(UINT id)
{
    if (id > 0xFFFF) {
        throw Missing();
    }
    const HMODULE module = TextModule();
    const HRSRC block =
        FindResourceW(module, MAKEINTRESOURCEW(static_cast<WORD>(id / 16 + 1)), RT_STRING);
    if (block == nullptr) {
        throw Missing();
    }
    const std::uint32_t units = SizeofResource(module, block) / sizeof(wchar_t);
    const HGLOBAL loaded = LoadResource(module, block);
    if (loaded == nullptr) {
        throw Missing();
    }
    wchar_t* const entries = static_cast<wchar_t*>(LockResource(loaded));
    if (entries == nullptr || units == 0) {
        throw Missing();
    }
    std::uint32_t pos = 0;
    for (UINT skipped = 0; skipped < id % 16; ++skipped) {
        pos = UnitAdd(pos, UnitIncrement(entries[pos]));
        if (pos >= units) {
            throw Missing();
        }
    }
    const std::uint32_t length = entries[pos];
    if (length == 0 || length > units - pos - 1) {
        throw Missing();
    }
    return MStringEx<wchar_t>(ShellMemory<wchar_t>(length, entries + pos + 1), true);
}

MStringEx<wchar_t> VersionString(const wchar_t* name)
{
    const MStringEx<wchar_t> path = ModuleFilePath(moduleInstance);
    if (path.IsEmpty()) {
        throw Missing();
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.Data(), &ignored);
    if (size == 0) {
        throw Missing();
    }
    MemoryPH<unsigned char> info(size);
    if (!GetFileVersionInfoW(path.Data(), 0, size, info.Data())) {
        throw Missing();
    }
    // A missing translation table leaves no translation to try.
    void* table = nullptr;
    UINT tableBytes = 0;
    if (!VerQueryValueW(info.Data(), L"\\VarFileInfo\\Translation", &table, &tableBytes)) {
        tableBytes = 0;
    }
    const WORD* const translations = static_cast<const WORD*>(table);
    for (UINT i = 0; i < tableBytes / 4; ++i) {
        const MStringEx<wchar_t> subBlock = MStringEx<wchar_t>::Format(
            L"\\StringFileInfo\\%04x%04x\\%s", translations[2 * i], translations[2 * i + 1], name);
        void* value = nullptr;
        UINT valueLength = 0;
        if (VerQueryValueW(info.Data(), subBlock.Data(), &value, &valueLength) &&
            value != nullptr) {
            return MStringEx<wchar_t>(static_cast<const wchar_t*>(value));
        }
    }
    throw Missing();
}
