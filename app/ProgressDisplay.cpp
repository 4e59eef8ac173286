#include <windows.h>

#include <commctrl.h>

#include "app/DialogControls.h"
#include "app/DialogIds.h"
#include "app/DialogServices.h"
#include "app/ProgressDisplay.h"
#include "resources/StringIds.h"

namespace {

const unsigned int kProgressRange = 5000;
const unsigned int kUnknownTotalPosition = 2500;

// The total label holds exactly three dots until the first progress message replaces them.
bool TotalLabelIsPlaceholder()
{
    return GetWindowTextLengthW(bytesTotalLabel) == 3;
}

} // namespace

unsigned int ProgressPosition(std::uint64_t total, std::uint64_t done)
{
    const double position = static_cast<double>(done) / static_cast<double>(total) *
                            static_cast<double>(kProgressRange);
    // A count beyond the total (a server that sends more than it announced) shows a full bar.
    // Clamped here rather than truncated to 32 bits, which would wrap to an arbitrary position.
    if (position >= static_cast<double>(kProgressRange))
        return kProgressRange;
    return static_cast<unsigned int>(position);
}

void ShowDownloadProgress(std::uint64_t total, std::uint64_t done)
{
    SetWindowTextW(bytesDoneLabel, MStringEx<wchar_t>::FromUInt64(done).Data());
    if (total != 0) {
        if (TotalLabelIsPlaceholder()) {
            SetWindowTextW(
                bytesTotalLabel,
                FormattedResourceString(IDS_TOTAL_KNOWN, MStringEx<wchar_t>::FromUInt64(total))
                    .Data());
        }
        SendMessageW(progressBar, PBM_SETPOS, ProgressPosition(total, done), 0);
    } else {
        if (TotalLabelIsPlaceholder())
            SetWindowTextW(bytesTotalLabel, ResourceString(IDS_TOTAL_UNKNOWN).Data());
        SendMessageW(progressBar, PBM_SETPOS, kUnknownTotalPosition, 0);
    }
}

void ShowReconnecting()
{
    SetWindowTextW(bytesDoneLabel, ResourceString(IDS_CONNECTING).Data());
}

void ShowVerifyProgress(std::uint64_t done)
{
    SetWindowTextW(bytesDoneLabel, MStringEx<wchar_t>::FromUInt64(done).Data());
}

LocalObserver::LocalObserver(HWND window, HANDLE cancelRequest)
    : MObserver(INVALID_HANDLE_VALUE), window(window), cancelRequest(cancelRequest)
{
}

LocalObserver::~LocalObserver() = default;

bool LocalObserver::Notify(std::uint64_t done, std::uint64_t total, std::uint64_t)
{
    if (WaitForSingleObject(cancelRequest, 0) != WAIT_TIMEOUT)
        return false;
    SendMessageW(window, WM_VERIFY_PROGRESS, reinterpret_cast<WPARAM>(&total),
                 reinterpret_cast<LPARAM>(&done));
    Sleep(20);
    return true;
}
