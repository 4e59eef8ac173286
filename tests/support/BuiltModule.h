// Access to the built program binaries from a test program in build/tests.
#ifndef KDM_TESTS_SUPPORT_BUILTMODULE_H
#define KDM_TESTS_SUPPORT_BUILTMODULE_H

#include <windows.h>

#include <string>

namespace kdm_test {

// Full path of a file of the build tree, given relative to the build folder
// (e.g. L"loopback-bin\\KestruneDownloadManager.dll").
std::wstring BuildTreePath(const std::wstring& relative);

// A module loaded as a data file: resources can be read, no code runs. Closed on destruction.
class DataModule {
public:
    explicit DataModule(const std::wstring& path);
    ~DataModule();
    DataModule(const DataModule&) = delete;
    DataModule& operator=(const DataModule&) = delete;

    HMODULE Get() const { return module; }

private:
    HMODULE module;
};

} // namespace kdm_test

#endif
