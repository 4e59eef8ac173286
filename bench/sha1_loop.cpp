// The verification loop of the program without the program: CryptoAPI SHA-1 over a file in
// blocks of 1 MiB; with "both", SHA-256 in the RSA and AES provider over the same blocks too, as
// a build with the maker's keys computes them. With "floor" each block also costs what the
// program's design adds to it: one synchronous SendMessageW to a window on another thread with an
// empty handler and a 20 ms pause.
//
// Usage: sha1_loop.exe FILE bare|floor [both]
// Prints "sha1=HEX ms=N" and ends with 0, or 1 on a failure.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <vector>

#include "bench/BenchWindows.h"

namespace {

const DWORD kBlockBytes = 0x100000;
const DWORD kPauseMs = 20;

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: sha1_loop.exe FILE bare|floor [both]\n");
        return 1;
    }
    const bool floor = std::wcscmp(argv[2], L"floor") == 0;
    const bool both = argc == 4 && std::wcscmp(argv[3], L"both") == 0;
    std::unique_ptr<bench::ReceiverThread> receiver;
    if (floor) {
        receiver.reset(new bench::ReceiverThread(bench::CreateEmptyReceiver, nullptr));
        if (receiver->Window() == nullptr) {
            std::fprintf(stderr, "no receiving window\n");
            return 1;
        }
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
        CloseHandle(file);
        return 1;
    }
    HCRYPTPROV aes = 0;
    if (both && !CryptAcquireContextW(&aes, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        std::fprintf(stderr, "CryptAcquireContextW (AES) failed: %lu\n", GetLastError());
        CryptReleaseContext(provider, 0);
        CloseHandle(file);
        return 1;
    }
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    HCRYPTHASH hash = 0;
    CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash);
    HCRYPTHASH sha256 = 0;
    if (both) {
        CryptCreateHash(aes, 0x800C, 0, 0, &sha256);
    }
    std::vector<unsigned char> buffer(kBlockBytes);
    unsigned long long done = 0;
    bool ok = true;
    for (;;) {
        if (floor) {
            SendMessageW(receiver->Window(), bench::kBenchMessage, reinterpret_cast<WPARAM>(&done),
                         reinterpret_cast<LPARAM>(&done));
            Sleep(kPauseMs);
        }
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), kBlockBytes, &read, nullptr)) {
            std::fprintf(stderr, "ReadFile failed: %lu\n", GetLastError());
            ok = false;
            break;
        }
        if (read == 0) {
            break;
        }
        CryptHashData(hash, buffer.data(), read, 0);
        if (both) {
            CryptHashData(sha256, buffer.data(), read, 0);
        }
        done += read;
    }
    BYTE sha256Value[32] = {};
    DWORD sha256Bytes = sizeof(sha256Value);
    if (both) {
        CryptGetHashParam(sha256, HP_HASHVAL, sha256Value, &sha256Bytes, 0);
        CryptDestroyHash(sha256);
        CryptReleaseContext(aes, 0);
    }
    if (!ok) {
        CryptDestroyHash(hash);
        CryptReleaseContext(provider, 0);
        CloseHandle(file);
        return 1;
    }
    BYTE value[20] = {};
    DWORD valueBytes = sizeof(value);
    CryptGetHashParam(hash, HP_HASHVAL, value, &valueBytes, 0);
    LARGE_INTEGER end{};
    QueryPerformanceCounter(&end);
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    CloseHandle(file);
    std::printf("sha1=");
    for (DWORD i = 0; i < valueBytes; ++i) {
        std::printf("%02X", value[i]);
    }
    std::printf(" ms=%.1f\n", bench::Milliseconds(start, end));
    return 0;
}
