#include "tests/net/TransferFixture.h"

#include "tests/support/TextUtil.h"

namespace kdm_net_test {

namespace {

const wchar_t kRecorderClass[] = L"KdmNetTestProgressRecorder";

} // namespace

ProgressRecorder::ProgressRecorder() : window(nullptr)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &ProgressRecorder::WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kRecorderClass;
    // A second recorder in the same process finds the class already registered.
    RegisterClassExW(&windowClass);
    window = CreateWindowExW(0, kRecorderClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

ProgressRecorder::~ProgressRecorder()
{
    if (window != nullptr) {
        DestroyWindow(window);
    }
}

LRESULT CALLBACK ProgressRecorder::WindowProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam)
{
    if (message != kProgressMessage) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    ProgressRecorder* const recorder =
        reinterpret_cast<ProgressRecorder*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (recorder == nullptr) {
        return 0;
    }
    try {
        const Progress progress{*reinterpret_cast<const std::uint64_t*>(wParam),
                                *reinterpret_cast<const std::uint64_t*>(lParam)};
        recorder->messages.push_back(progress);
        if (recorder->handler) {
            recorder->handler(progress);
        }
    } catch (...) {
        ADD_FAILURE() << "the progress recorder threw";
    }
    return 0;
}

MStringEx<wchar_t> TestRequestHeaders()
{
    return MStringEx<wchar_t>::Format(kRequestHeaderFormat, MStringEx<wchar_t>(L"Kestrune"),
                                      MStringEx<wchar_t>(L"3"), MStringEx<wchar_t>(L"7"),
                                      MStringEx<wchar_t>(L"32"));
}

std::string ReadWholeFile(HANDLE file)
{
    std::string content;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        return content;
    }
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
        content.append(buffer, read);
    }
    return content;
}

std::string LastErrorText()
{
    return kdm_test::Win32ErrorText(GetLastError());
}

void TransferTest::SetUp()
{
    ASSERT_NE(nullptr, progress.Window()) << LastErrorText();
    cancel.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_FALSE(cancel.IsEmpty()) << LastErrorText();

    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder)) << LastErrorText();
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(0u, GetTempFileNameW(folder, L"kdm", 0, path)) << LastErrorText();
    filePath = path;
    file.Reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_FALSE(file.IsEmpty()) << LastErrorText();

    ASSERT_TRUE(server.Start(kServerAddress, 80)) << server.LastError();
}

void TransferTest::TearDown()
{
    server.Stop();
    file.Release();
    if (!filePath.empty()) {
        DeleteFileW(filePath.c_str());
    }
}

bool TransferTest::EmptyFile()
{
    return SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(file.Get());
}

bool TransferTest::Download(const wchar_t* address, HeaderDictionary& headers)
{
    return HttpDownload(address, TestRequestHeaders(), kAgentName, file.Get(), progress.Window(),
                        kProgressMessage, cancel.Get(), headers);
}

bool TransferTest::Download(const wchar_t* address)
{
    HeaderDictionary headers;
    return Download(address, headers);
}

} // namespace kdm_net_test
