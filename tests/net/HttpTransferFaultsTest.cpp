// The HTTP transfer against failing servers, a full disk and a stalled server, and its handle
// balance over many runs.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/net/TransferFixture.h"
#include "tests/support/ProcessCounters.h"
#include "tests/support/TextUtil.h"
#include "tests/support/WaitUntil.h"

namespace kdm_net_test {
namespace {

using kdm_test::FirstPatternMismatch;
using kdm_test::Response;

// Made by the test program's build: a link to /dev/full next to the test program (its working
// directory), so that WriteFile fails with ERROR_DISK_FULL.
const wchar_t kDiskFullFile[] = L"net_disk_full.bin";

TEST_F(TransferTest, FaultsEndWithTheRightResultAndKeepWhatWasWritten)
{
    const struct {
        const char* name;
        Response response;
        bool result;
        // The file holds a prefix of the generated body of this many bytes at least and at most.
        std::uint64_t minBytes;
        std::uint64_t maxBytes;
    } cases[] = {
        {"closed early with a length",
         Response::Ok().GeneratedBody(50000).Pieces(8000, 10).CloseAfter(20000), false, 20000,
         20000},
        // Only the hash check can tell that this body is short.
        {"closed early without a length",
         Response::Ok().GeneratedBody(50000).Pieces(8000, 10).WithoutLength().CloseAfter(20000),
         true, 20000, 20000},
        {"bytes beyond the length", Response::Ok().GeneratedBody(300).ForcedLength("100"), false, 0,
         100},
        {"chunked", Response::Ok().GeneratedBody(50000).Pieces(7000, 10).Chunked(), true, 50000,
         50000},
        // The length of a chunked body is not checked.
        {"chunked with a length too",
         Response::Ok().GeneratedBody(5000).Chunked().Header("Content-Length", "10"), true, 5000,
         5000},
        {"connection reset",
         Response::Ok().GeneratedBody(100000).Pieces(8000, 10).ResetAfter(30000), false, 0, 30000},
        {"404 with a body", Response::Status(404, "Not Found").GeneratedBody(3000), false, 0, 0},
        {"500 with a body", Response::Status(500, "Internal Server Error").GeneratedBody(3000),
         false, 0, 0},
        {"308 not followed", Response::Status(308, "Permanent Redirect").GeneratedBody(3000), false,
         0, 0},
        {"empty reply", Response::NoReply(), false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(EmptyFile());
        const std::size_t before = progress.Messages().size();
        server.Enqueue(c.response);
        EXPECT_EQ(c.result, Download()) << server.Describe();
        const std::string content = FileContent();
        EXPECT_GE(content.size(), c.minBytes);
        EXPECT_LE(content.size(), c.maxBytes);
        EXPECT_EQ(std::string::npos, FirstPatternMismatch(content));
        if (c.maxBytes == 0) {
            EXPECT_EQ(before, progress.Messages().size()) << "no progress without a body";
        }
    }
    EXPECT_TRUE(server.WaitForFinished(10, 5000)) << server.Describe();
}

TEST_F(TransferTest, UnreachableHostFailsBeforeAnyRequest)
{
    EXPECT_FALSE(Download(L"http://kdm-no-such-host.invalid/package.msi"));
    EXPECT_FALSE(Download(L"http://127.0.0.6:80/package.msi"));
    EXPECT_TRUE(progress.Messages().empty());
    EXPECT_EQ(0u, server.ConnectionsAccepted());
}

TEST_F(TransferTest, FullDiskEndsTheTransfer)
{
    kdm_test::HandleHolder full(CreateFileW(kDiskFullFile, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_FALSE(full.IsEmpty()) << "net_disk_full.bin (a link to /dev/full made by the build): "
                                 << LastErrorText();
    // The link works as intended: a write fails with ERROR_DISK_FULL.
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(full.Get(), "x", 1, &written, nullptr));
    ASSERT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());

    server.Enqueue(Response::Ok().GeneratedBody(20000));
    HeaderDictionary headers;
    EXPECT_FALSE(HttpDownload(kServerUrl, TestRequestHeaders(), kAgentName, full.Get(),
                              progress.Window(), kProgressMessage, cancel.Get(), headers));
    EXPECT_TRUE(progress.Messages().empty());
}

// One transfer on a thread of its own, for a server that may never answer. The context is
// shared with the thread; when the thread is abandoned it keeps its share.
struct DetachedTransfer {
    HeaderDictionary headers;
    kdm_test::HandleHolder file;
    kdm_test::HandleHolder cancel;
    volatile LONG result = -1;
};

DWORD WINAPI DetachedTransferThread(void* parameter)
{
    std::shared_ptr<DetachedTransfer>* const owner =
        static_cast<std::shared_ptr<DetachedTransfer>*>(parameter);
    const std::shared_ptr<DetachedTransfer> transfer = *owner;
    delete owner;
    // No progress window: the test thread does not pump messages while it waits.
    const bool done =
        HttpDownload(kServerUrl, TestRequestHeaders(), kAgentName, transfer->file.Get(), nullptr,
                     kProgressMessage, transfer->cancel.Get(), transfer->headers);
    InterlockedExchange(&transfer->result, done ? 1 : 0);
    return 0;
}

// A server that accepts and then says nothing: the cancel event ends the transfer at once, while
// WinINet still waits (Wine's WinINet returns only when the connection closes or the silence
// limit has passed, whatever handle is closed).
TEST_F(TransferTest, CancelEndsATransferThatWaitsForTheStatusLine)
{
    auto transfer = std::make_shared<DetachedTransfer>();
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), file.Get(), GetCurrentProcess(), &duplicate, 0,
                                FALSE, DUPLICATE_SAME_ACCESS))
        << LastErrorText();
    transfer->file.Reset(duplicate);
    transfer->cancel.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));

    server.Enqueue(Response::StallForever());
    auto* share = new std::shared_ptr<DetachedTransfer>(transfer);
    kdm_test::HandleHolder thread(
        CreateThread(nullptr, 0, &DetachedTransferThread, share, 0, nullptr));
    if (thread.IsEmpty()) {
        delete share;
        FAIL() << LastErrorText();
    }
    ASSERT_TRUE(server.WaitForRequests(1, 10000)) << server.Describe();
    Sleep(kdm_test::ScaledMs(300));
    SetEvent(transfer->cancel.Get());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0),
              WaitForSingleObject(thread.Get(), kdm_test::ScaledMs(1000)))
        << "the cancel did not end the transfer";
    EXPECT_EQ(0, transfer->result);
    server.Stop();
}

TEST_F(TransferTest, ManyTransfersLeakNoHandles)
{
    server.SetFallback(Response::Ok()
                           .Header("NORVALIS-DOWNLOAD-HASHCODE", kdm_test::Sha1HexUpper("body"))
                           .GeneratedBody(20000)
                           .Pieces(8000, 0));
    const auto runs = [this](int count) {
        for (int i = 0; i < count; ++i) {
            HeaderDictionary headers{new HeaderDictionary::PairType(kHashCodeHeaderName)};
            if (!EmptyFile() || !Download(kServerUrl, headers) || headers.Count() != 1) {
                return false;
            }
        }
        return true;
    };
    // The first runs load WinINet's and Winsock's libraries and their lasting handles.
    ASSERT_TRUE(runs(3)) << server.Describe();
    const DWORD before = kdm_test::OpenHandleCount();
    ASSERT_NE(before, 0u) << "the handle count cannot be read";
    const std::size_t connectionsBefore = server.ConnectionsAccepted();
    ASSERT_TRUE(runs(50)) << server.Describe();
    const DWORD after = kdm_test::OpenHandleCount();
    // The test server keeps the handle of each connection's thread until it stops. Handles that
    // earlier cases of this process left to close later may go meanwhile, never come.
    const std::size_t serverHandles = server.ConnectionsAccepted() - connectionsBefore;
    EXPECT_LE(after, before + serverHandles)
        << "handles before " << before << ", after " << after << ", server " << serverHandles;
}

} // namespace
} // namespace kdm_net_test
