// The download loop of the program without the program: InternetOpenUrlW, then per block
// InternetQueryDataAvailable, a buffer of that size, InternetReadFile, WriteFile. With "message"
// each block is also reported by one synchronous SendMessageW to a window on another thread whose
// handler does nothing, which is the least the program's loop can cost. With "display" that
// window is shown and its handler does what a progress display does per block: the count as
// text into a static control and the position of a progress bar.
//
// Usage: wininet_loop.exe URL OUTPUT_FILE bare|message|display
// Prints "blocks=N bytes=N ms=N" (the body loop alone) and ends with 0, or 1 on a failure.
#include <windows.h>
#include <wininet.h>
#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

const UINT benchMessage = WM_APP + 1;
const wchar_t requestHeaders[] =
    L"NORVALIS_PRODUCT: Kestrune\r\nNORVALIS_PRODUCT_VERSION: 2\r\nZELQ_OS_VERSION: 7\r\n"
    L"ZELQ_CPU_TYPE: 32";

HWND receiver = nullptr;
HANDLE receiverReady = nullptr;
bool showDisplay = false;
// The announced body length, for the bar's position as the program computes it.
std::uint64_t announcedLength = 0;
HWND countLabel = nullptr;
HWND progressBar = nullptr;

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == benchMessage) {
        if (showDisplay) {
            const std::uint64_t done = *reinterpret_cast<const std::uint64_t*>(lParam);
            wchar_t text[32];
            swprintf(text, 32, L"%llu", static_cast<unsigned long long>(done));
            SetWindowTextW(countLabel, text);
            const WPARAM position =
                announcedLength == 0 ? 2500 : static_cast<WPARAM>(
                    static_cast<double>(done) / static_cast<double>(announcedLength) * 5000.0);
            SendMessageW(progressBar, PBM_SETPOS, position, 0);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Owns the receiving window and pumps its messages until WM_QUIT.
DWORD WINAPI ReceiverThread(void*)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ReceiverProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KdmBenchReceiver";
    RegisterClassW(&windowClass);
    receiver = CreateWindowW(L"KdmBenchReceiver", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
    if (showDisplay && receiver != nullptr) {
        InitCommonControls();
        SetWindowPos(receiver, nullptr, 100, 100, 400, 150, SWP_NOZORDER);
        countLabel = CreateWindowW(L"STATIC", L"0", WS_CHILD | WS_VISIBLE, 10, 10, 300, 20,
                                   receiver, nullptr, GetModuleHandleW(nullptr), nullptr);
        progressBar = CreateWindowW(PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 10, 40, 300, 20,
                                    receiver, nullptr, GetModuleHandleW(nullptr), nullptr);
        SendMessageW(progressBar, PBM_SETRANGE32, 0, 5000);
        ShowWindow(receiver, SW_SHOW);
        UpdateWindow(receiver);
    }
    SetEvent(receiverReady);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: wininet_loop.exe URL OUTPUT_FILE bare|message|display\n");
        return 1;
    }
    showDisplay = std::wcscmp(argv[3], L"display") == 0;
    const bool withMessage = showDisplay || std::wcscmp(argv[3], L"message") == 0;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    if (withMessage) {
        receiverReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread = CreateThread(nullptr, 0, ReceiverThread, nullptr, 0, &threadId);
        WaitForSingleObject(receiverReady, INFINITE);
        if (receiver == nullptr) {
            std::fprintf(stderr, "no receiving window\n");
            return 1;
        }
    }
    HINTERNET internet = InternetOpenW(L"kdm-bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                       nullptr, 0);
    HINTERNET request = InternetOpenUrlW(
        internet, argv[1], requestHeaders, static_cast<DWORD>(-1),
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
            INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE,
        0);
    if (request == nullptr) {
        std::fprintf(stderr, "InternetOpenUrlW failed: %lu\n", GetLastError());
        return 1;
    }
    DWORD length = 0;
    DWORD lengthBytes = sizeof(length);
    if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                       &lengthBytes, nullptr)) {
        announcedLength = length;
    }
    HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "CreateFileW failed: %lu\n", GetLastError());
        return 1;
    }
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    std::uint64_t total = 0;
    std::uint64_t blocks = 0;
    bool ok = true;
    for (;;) {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
            ok = false;
            break;
        }
        std::vector<unsigned char> block(available == 0 ? 1 : available);
        DWORD read = 0;
        if (!InternetReadFile(request, block.data(), available, &read) || read != available) {
            ok = false;
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file, block.data(), read, &written, nullptr) || written != read) {
            ok = false;
            break;
        }
        total += read;
        ++blocks;
        if (withMessage) {
            SendMessageW(receiver, benchMessage, reinterpret_cast<WPARAM>(&total),
                         reinterpret_cast<LPARAM>(&total));
        }
        if (read == 0) {
            break;
        }
    }
    LARGE_INTEGER end{};
    QueryPerformanceCounter(&end);
    CloseHandle(file);
    InternetCloseHandle(request);
    InternetCloseHandle(internet);
    if (withMessage) {
        PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, 5000);
    }
    std::printf("blocks=%llu bytes=%llu ms=%.1f\n", static_cast<unsigned long long>(blocks),
                static_cast<unsigned long long>(total), Milliseconds(start, end));
    return ok ? 0 : 1;
}
