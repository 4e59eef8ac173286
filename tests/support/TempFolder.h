// A folder of its own under the temporary folder for one test, removed with its content at the
// end (read-only files included).
#ifndef KDM_TESTS_SUPPORT_TEMPFOLDER_H
#define KDM_TESTS_SUPPORT_TEMPFOLDER_H

#include <string>

#include <windows.h>

class TempFolder {
public:
    // Creates <temp>\<name>-<process id>-<tick count>; Path() is empty when that failed.
    explicit TempFolder(const std::wstring& name)
    {
        wchar_t temp[MAX_PATH] = {};
        const DWORD length = GetTempPathW(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH) {
            return;
        }
        std::wstring candidate = temp + name + L"-" + std::to_wstring(GetCurrentProcessId()) +
                                 L"-" + std::to_wstring(GetTickCount());
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path = candidate;
        }
    }
    ~TempFolder()
    {
        if (!path.empty()) {
            RemoveTree(path);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path; }
    std::wstring operator/(const std::wstring& name) const { return path + L"\\" + name; }

    // Removes a file or a folder with everything in it; nothing happens when it does not exist.
    static void RemoveTree(const std::wstring& path)
    {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return;
        }
        SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            DeleteFileW(path.c_str());
            return;
        }
        WIN32_FIND_DATAW found{};
        const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") {
                    RemoveTree(path + L"\\" + name);
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(path.c_str());
    }

private:
    std::wstring path;
};

// Creates a file with the given content; false when that failed.
inline bool WriteTestFile(const std::wstring& path, const char* content = "")
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(std::char_traits<char>::length(content));
    const BOOL ok = size == 0 || WriteFile(file, content, size, &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

#endif
