// The download loop of the program without the program: InternetOpenUrlW, then per block
// InternetQueryDataAvailable, a buffer of that size, InternetReadFile, WriteFile.
//   bare     nothing else (a)
//   message  each block also reported by one synchronous SendMessageW to a window on another
//            thread whose handler does nothing (b)
//   design   each block also tests a cancel event without waiting and is reported to the
//            program's own download dialog, shown, whose handler does the least the program's
//            display must: the count as text, the total label once, the bar's position (d)
// Usage: wininet_loop.exe URL OUTPUT_FILE bare|message|design [PROGRAM_MODULE]
// (the program's module is needed by design and ignored by the others)
// Prints "blocks=N bytes=N ms=N" (the body loop alone) and ends with 0, or 1 on a failure.
#include <windows.h>
#include <wininet.h>
#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <vector>

#include "bench/BenchWindows.h"

namespace {

const wchar_t kRequestHeaders[] =
    L"NORVALIS_PRODUCT: Kestrune\r\nNORVALIS_PRODUCT_VERSION: 2\r\nZELQ_OS_VERSION: 7\r\n"
    L"ZELQ_CPU_TYPE: 32";

HWND countLabel = nullptr;
HWND totalLabel = nullptr;
HWND progressBar = nullptr;

INT_PTR CALLBACK DesignDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        countLabel = GetDlgItem(dialog, IDC_BYTES_DONE);
        totalLabel = GetDlgItem(dialog, IDC_BYTES_TOTAL);
        progressBar = GetDlgItem(dialog, IDC_PROGRESS);
        SetWindowTextW(totalLabel, L"...");
        return TRUE;
    }
    if (message != bench::kBenchMessage)
        return FALSE;
    const std::uint64_t total = *reinterpret_cast<const std::uint64_t*>(wParam);
    const std::uint64_t done = *reinterpret_cast<const std::uint64_t*>(lParam);
    wchar_t text[64];
    bench::GroupedCount(done, text, 64);
    SetWindowTextW(countLabel, text);
    if (GetWindowTextLengthW(totalLabel) == 3) {
        wchar_t count[32];
        bench::GroupedCount(total, count, 32);
        swprintf(text, 64, L"out of %ls bytes", count);
        SetWindowTextW(totalLabel, text);
    }
    const double position =
        total == 0 ? 2500.0 : static_cast<double>(done) / static_cast<double>(total) * 5000.0;
    SendMessageW(progressBar, PBM_SETPOS,
                 static_cast<WPARAM>(position < 5000.0 ? position : 5000.0), 0);
    return TRUE;
}

HWND CreateDesignReceiver(void* module)
{
    return bench::CreateProgramDialog(static_cast<HMODULE>(module), DesignDialogProc);
}

// The body loop in the given mode; 0 on success, 1 on a failure.
int Transfer(const wchar_t* address, const wchar_t* outputPath, bool bare, bool design,
             HMODULE module)
{
    std::unique_ptr<bench::ReceiverThread> receiver;
    if (!bare) {
        receiver.reset(new bench::ReceiverThread(
            design ? CreateDesignReceiver : bench::CreateEmptyReceiver, module));
    }
    if (receiver && receiver->Window() == nullptr) {
        std::fprintf(stderr, "no receiving window\n");
        return 1;
    }
    // Never set: tested per block like the program's cancel event.
    HANDLE cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HINTERNET internet =
        InternetOpenW(L"kdm-bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET request = InternetOpenUrlW(internet, address, kRequestHeaders, static_cast<DWORD>(-1),
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                             INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                                             INTERNET_FLAG_PRAGMA_NOCACHE,
                                         0);
    if (request == nullptr) {
        std::fprintf(stderr, "InternetOpenUrlW failed: %lu\n", GetLastError());
        InternetCloseHandle(internet);
        CloseHandle(cancelEvent);
        return 1;
    }
    std::uint64_t announced = 0;
    DWORD length = 0;
    DWORD lengthBytes = sizeof(length);
    if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                       &lengthBytes, nullptr)) {
        announced = length;
    }
    HANDLE file = CreateFileW(outputPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "CreateFileW failed: %lu\n", GetLastError());
        InternetCloseHandle(request);
        InternetCloseHandle(internet);
        CloseHandle(cancelEvent);
        return 1;
    }
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    std::uint64_t done = 0;
    std::uint64_t blocks = 0;
    bool ok = true;
    for (;;) {
        if (design && WaitForSingleObject(cancelEvent, 0) != WAIT_TIMEOUT) {
            ok = false;
            break;
        }
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
        done += read;
        ++blocks;
        if (!bare) {
            SendMessageW(receiver->Window(), bench::kBenchMessage,
                         reinterpret_cast<WPARAM>(&announced), reinterpret_cast<LPARAM>(&done));
        }
        if (read == 0)
            break;
    }
    LARGE_INTEGER end{};
    QueryPerformanceCounter(&end);
    CloseHandle(file);
    InternetCloseHandle(request);
    InternetCloseHandle(internet);
    CloseHandle(cancelEvent);
    std::printf("blocks=%llu bytes=%llu ms=%.1f\n", static_cast<unsigned long long>(blocks),
                static_cast<unsigned long long>(done), bench::Milliseconds(start, end));
    return ok ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* mode = argc == 4 || argc == 5 ? argv[3] : L"";
    const bool design = argc == 5 && std::wcscmp(mode, L"design") == 0;
    const bool message = std::wcscmp(mode, L"message") == 0;
    const bool bare = std::wcscmp(mode, L"bare") == 0;
    if (!design && !message && !bare) {
        std::fprintf(stderr,
                     "usage: wininet_loop.exe URL OUTPUT_FILE bare|message|design [MODULE]\n");
        return 1;
    }
    HMODULE module = nullptr;
    if (design) {
        InitCommonControls();
        module = LoadLibraryExW(argv[4], nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (module == nullptr) {
            std::fprintf(stderr, "cannot load the program's module: %lu\n", GetLastError());
            return 1;
        }
    }
    const int result = Transfer(argv[1], argv[2], bare, design, module);
    if (module != nullptr)
        FreeLibrary(module);
    return result;
}
