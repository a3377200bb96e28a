#pragma once
// One file over HTTP(S) with up to three attempts (later ones resume with a
// Range request), live progress posted to a window, a cancel flag that ends
// even a blocked read within ~50 ms, an optional SHA-256 check, and the
// previous version of the file restored when the download does not succeed.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

struct DownloadRequest {
  HWND window = nullptr;   // status/progress target; its disappearance cancels
  std::wstring target;     // file to write
  std::wstring backup;     // where the caller set the previous version aside
  bool hasBackup = false;  // whether `backup` holds such a file
  std::string url;
  std::string percentFormat;  // GBK, one %d
  std::atomic<bool>* cancel = nullptr;
  std::uint64_t base = 0;          // bytes earlier files of a combined progress account for
  std::uint64_t overallTotal = 0;  // 0: per-file progress
  std::string sizeFormat;          // GBK, one %.1f; empty: the default text
  // GBK ("正在下载高清补丁..."); when given, the status line reads it with
  // the readout (sizes, percentage, speed, time left) instead of the formats.
  std::string label;
  std::string expectedHash;  // empty: no check
  // Receives the SHA-256 (hex) of a file that downloaded completely, hashed
  // as its bytes arrive; null: not wanted.
  std::string* sha256Out = nullptr;
  // The file's size when the caller knows it (0: unknown). A body that goes
  // past it ends the attempt, and the next one starts the file afresh: a
  // server must not fill the disk.
  std::uint64_t expectedSize = 0;
  // An attempt that receives nothing for this long fails (the next attempt
  // resumes); a silent server would otherwise hold the job for good.
  DWORD stallMs = 120000;
  // Bytes already at the target that the caller vouches for as the file's
  // first (a download an earlier run left): the first attempt asks for the
  // rest with a Range request. The target must hold exactly these bytes.
  std::uint64_t resumeFrom = 0;
};

bool DownloadFile(const DownloadRequest& request);
// The pause before another attempt: up to 2 s, false as soon as the cancel
// flag is set.
bool WaitBeforeRetry(std::atomic<bool>* cancel);
// Puts the previous version of `target`, set aside as `backup`, back in its
// place (whatever stands at `target` is deleted).
void RestoreBackupFile(const std::wstring& target, const std::wstring& backup);

// Pure progress arithmetic, shared with the tests.
int CombinedPercent(std::uint64_t base, std::uint64_t done, std::uint64_t total);
