#pragma once
// The client download's worker thread.
#include <windows.h>

#include <string>

// What the client download thread gets from the window.
struct ClientJob {
  HWND window = nullptr;
  std::wstring saveFolder;   // as the folder browser returned it
  std::string manifestName;  // "wow335-hd" or "wow335-normal"
  std::wstring folderName;   // "[HD]Wow3.3.5a" or "Wow3.3.5a"
  int buttonId = 0;          // 1007 or 1015
  std::wstring buttonLabel;  // the label to put back on that button
};

// Fetches the manifest, downloads the client and posts WMU_CLIENT_DONE with
// a ClientDownloadResult (the window owns it after a successful post).
void ClientDownloadThread(ClientJob job);
// The thread's last step: busy cleared, then the result posted (or, when the
// window is gone, destroyed). `error` is kept only for a failure.
void FinishClientJob(const ClientJob& job, bool succeeded, const std::wstring& baseDir, const std::string& error);
