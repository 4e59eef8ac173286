// Progress display of the download dialog. The observer that reports the verification from the
// worker, LocalObserver, is declared in DialogServices.h.
#ifndef KDM_APP_PROGRESSDISPLAY_H
#define KDM_APP_PROGRESSDISPLAY_H

#include <windows.h>

#include <cstdint>

#include "foundation/Foundation.h"

// WM_DOWNLOAD_PROGRESS on the dialog thread: the count of bytes done, the total (decided once, on
// the first message: IDS_TOTAL_KNOWN or IDS_TOTAL_UNKNOWN) and the bar. total 0 means unknown.
void ShowDownloadProgress(std::uint64_t total, std::uint64_t done);
// WM_DOWNLOAD_PROGRESS without a count, on the dialog thread: the count label says IDS_CONNECTING
// again while the bar and the total keep what they show.
void ShowReconnecting();
// WM_VERIFY_PROGRESS on the dialog thread: the count of bytes hashed.
void ShowVerifyProgress(std::uint64_t done);

// Bar position (range 0 to 5000) for done bytes out of a known, non-zero total.
unsigned int ProgressPosition(std::uint64_t total, std::uint64_t done);

#endif
