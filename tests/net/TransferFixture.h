// What the transfer tests share: a loopback server on 127.0.0.6:80, a target file, a window
// that records the progress messages, and the cancel event.
#ifndef KDM_TESTS_NET_TRANSFERFIXTURE_H
#define KDM_TESTS_NET_TRANSFERFIXTURE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/HttpTransfer.h"
#include "tests/support/TestServer.h"
#include "tests/support/Win32Holders.h"

namespace kdm_net_test {

const char kServerAddress[] = "127.0.0.6";
const wchar_t kServerUrl[] = L"http://127.0.0.6";
const wchar_t kAgentName[] = L"Download Manager";
const UINT kProgressMessage = WM_USER + 31;

struct Progress {
    std::uint64_t total;
    std::uint64_t done;
};

// A message-only window of the calling thread. The transfer runs on the same thread in most
// tests, so its SendMessageW calls the window procedure directly and needs no message loop.
class ProgressRecorder {
public:
    ProgressRecorder();
    ~ProgressRecorder();
    ProgressRecorder(const ProgressRecorder&) = delete;
    ProgressRecorder& operator=(const ProgressRecorder&) = delete;

    HWND Window() const { return window; }
    const std::vector<Progress>& Messages() const { return messages; }
    // Called after each recorded message, on the window's thread.
    void OnMessage(std::function<void(const Progress&)> onMessage) { handler = onMessage; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND window;
    std::vector<Progress> messages;
    std::function<void(const Progress&)> handler;
};

// The request header block the worker builds, with fixed values.
MStringEx<wchar_t> TestRequestHeaders();
// The file's whole content.
std::string ReadWholeFile(HANDLE file);
// GetLastError's code and text, for failure messages.
std::string LastErrorText();

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // HttpDownload of `address` into the target file, with the recorder and the cancel event.
    bool Download(const wchar_t* address, HeaderDictionary& headers);
    bool Download(const wchar_t* address = kServerUrl);
    std::string FileContent() const { return ReadWholeFile(file.Get()); }
    // Truncates the target file to 0 bytes and moves to its start, as a new run's file is.
    bool EmptyFile();

    kdm_test::TestServer server;
    ProgressRecorder progress;
    kdm_test::HandleHolder cancel;
    kdm_test::HandleHolder file;
    std::wstring filePath;
};

} // namespace kdm_net_test

#endif
