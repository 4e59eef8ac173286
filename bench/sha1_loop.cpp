// The verification loop of the program without the program: CryptoAPI SHA-1 over a file in
// blocks of 1 MiB. With "floor" each block also costs what the program's design adds to it: one
// synchronous SendMessageW to a window on another thread with an empty handler and a 20 ms pause.
//
// Usage: sha1_loop.exe FILE bare|floor
// Prints "sha1=HEX ms=N" and ends with 0, or 1 on a failure.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

const UINT benchMessage = WM_APP + 1;
const DWORD blockBytes = 0x100000;
const DWORD pauseMs = 20;

HWND receiver = nullptr;
HANDLE receiverReady = nullptr;

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == benchMessage) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI ReceiverThread(void*)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ReceiverProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KdmBenchReceiver";
    RegisterClassW(&windowClass);
    receiver = CreateWindowW(L"KdmBenchReceiver", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
    SetEvent(receiverReady);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: sha1_loop.exe FILE bare|floor\n");
        return 1;
    }
    const bool floor = std::wcscmp(argv[2], L"floor") == 0;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    if (floor) {
        receiverReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread = CreateThread(nullptr, 0, ReceiverThread, nullptr, 0, &threadId);
        WaitForSingleObject(receiverReady, INFINITE);
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "CreateFileW failed: %lu\n", GetLastError());
        return 1;
    }
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        std::fprintf(stderr, "CryptAcquireContextW failed: %lu\n", GetLastError());
        return 1;
    }
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HCRYPTHASH hash = 0;
    CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash);
    std::vector<unsigned char> buffer(blockBytes);
    unsigned long long done = 0;
    for (;;) {
        if (floor) {
            SendMessageW(receiver, benchMessage, reinterpret_cast<WPARAM>(&done),
                         reinterpret_cast<LPARAM>(&done));
            Sleep(pauseMs);
        }
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), blockBytes, &read, nullptr)) {
            std::fprintf(stderr, "ReadFile failed: %lu\n", GetLastError());
            return 1;
        }
        if (read == 0) {
            break;
        }
        CryptHashData(hash, buffer.data(), read, 0);
        done += read;
    }
    BYTE value[20] = {};
    DWORD valueBytes = sizeof(value);
    CryptGetHashParam(hash, HP_HASHVAL, value, &valueBytes, 0);
    LARGE_INTEGER end{};
    QueryPerformanceCounter(&end);
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    CloseHandle(file);
    if (floor) {
        PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, 5000);
    }
    std::printf("sha1=");
    for (DWORD i = 0; i < valueBytes; ++i) {
        std::printf("%02X", value[i]);
    }
    std::printf(" ms=%.1f\n", static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
                                   static_cast<double>(frequency.QuadPart));
    return 0;
}
