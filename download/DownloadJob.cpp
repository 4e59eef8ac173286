#include "download/DownloadJob.h"

// The members are initialised in the order of their declaration, so the version block is read
// in the order ProductName, ProductVersion, InternalName.
DownloadJob::DownloadJob(HWND dialogWindow)
    : productName(VersionString(L"ProductName")), productVersion(VersionString(L"ProductVersion")),
      internalName(VersionString(L"InternalName")), dialog(dialogWindow),
      file(INVALID_HANDLE_VALUE), filePath(), osName()
{
}

DownloadJob::~DownloadJob()
{
    file.Close();
}
