#include "tests/support/BuiltModule.h"

#include <vector>

namespace kdm_test {

std::wstring BuildTreePath(const std::wstring& relative)
{
    std::vector<wchar_t> path(MAX_PATH * 4);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring folder(path.data(), length);
    // The test programs live in <build>/tests.
    folder.erase(folder.find_last_of(L'\\'));
    folder.erase(folder.find_last_of(L'\\') + 1);
    return folder + relative;
}

DataModule::DataModule(const std::wstring& path)
    : module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE))
{
}

DataModule::~DataModule()
{
    if (module != nullptr)
        FreeLibrary(module);
}

} // namespace kdm_test
