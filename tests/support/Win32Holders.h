// Small owning holders for the handles of the test bench. The bench does not use the program's
// own library, so that it can test that library without depending on it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

namespace kdm_test {

// Owns a kernel handle. Empty is null; INVALID_HANDLE_VALUE is stored as null. Close is safe twice.
class HandleHolder {
public:
    HandleHolder() = default;
    explicit HandleHolder(HANDLE handle) { Reset(handle); }
    ~HandleHolder() { Close(); }
    HandleHolder(const HandleHolder&) = delete;
    HandleHolder& operator=(const HandleHolder&) = delete;
    HandleHolder(HandleHolder&& other) noexcept : handle_(other.Release()) {}
    HandleHolder& operator=(HandleHolder&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr; }
    HANDLE Release()
    {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Reset(HANDLE handle)
    {
        Close();
        handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }
    void Close()
    {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    HANDLE handle_ = nullptr;
};

// Owns a Winsock socket. Empty is INVALID_SOCKET. Close is safe twice.
class SocketHolder {
public:
    SocketHolder() = default;
    explicit SocketHolder(SOCKET socket) : socket_(socket) {}
    ~SocketHolder() { Close(); }
    SocketHolder(const SocketHolder&) = delete;
    SocketHolder& operator=(const SocketHolder&) = delete;
    SocketHolder(SocketHolder&& other) noexcept : socket_(other.Release()) {}
    SocketHolder& operator=(SocketHolder&& other) noexcept
    {
        if (this != &other) {
            Close();
            socket_ = other.Release();
        }
        return *this;
    }

    SOCKET Get() const { return socket_; }
    bool Valid() const { return socket_ != INVALID_SOCKET; }
    SOCKET Release()
    {
        SOCKET socket = socket_;
        socket_ = INVALID_SOCKET;
        return socket;
    }
    void Close()
    {
        if (socket_ != INVALID_SOCKET) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
};

// Holds the process's Winsock 2.2 reference for its lifetime.
class WinsockSession {
public:
    WinsockSession()
    {
        WSADATA data{};
        error_ = WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession()
    {
        if (error_ == 0) {
            WSACleanup();
        }
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;

    // 0 when WSAStartup succeeded, else its error code.
    int Error() const { return error_; }

private:
    int error_ = 0;
};

// Enters a critical section for the scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~CriticalSectionLock() { LeaveCriticalSection(&section_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// Owns an open certificate store.
class CertificateStoreHolder {
public:
    explicit CertificateStoreHolder(HCERTSTORE store) : store_(store) {}
    ~CertificateStoreHolder()
    {
        if (store_ != nullptr) {
            CertCloseStore(store_, 0);
        }
    }
    CertificateStoreHolder(const CertificateStoreHolder&) = delete;
    CertificateStoreHolder& operator=(const CertificateStoreHolder&) = delete;

    HCERTSTORE Get() const { return store_; }

private:
    HCERTSTORE store_;
};

// Owns a certificate context. Release hands it to a call that frees it itself.
class CertificateHolder {
public:
    explicit CertificateHolder(PCCERT_CONTEXT context) : context_(context) {}
    ~CertificateHolder()
    {
        if (context_ != nullptr) {
            CertFreeCertificateContext(context_);
        }
    }
    CertificateHolder(const CertificateHolder&) = delete;
    CertificateHolder& operator=(const CertificateHolder&) = delete;

    PCCERT_CONTEXT Get() const { return context_; }
    PCCERT_CONTEXT Release()
    {
        PCCERT_CONTEXT context = context_;
        context_ = nullptr;
        return context;
    }

private:
    PCCERT_CONTEXT context_;
};

}  // namespace kdm_test
