#include "net/download.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/log.h"
#include "app/messages.h"
#include "app/readout.h"
#include "hash/sha256.h"
#include "hash/sha256_stream.h"
#include "net/http.h"
#include "net/reader.h"
#include "net/text.h"
#include "net/url.h"

namespace {

constexpr int kAttempts = 3;
constexpr DWORD kReadBuffer = 65536;

void PostFormatted(HWND window, const std::string& format, double value, bool isDouble, int intValue) {
  char text[128];
  if (isDouble)
    std::snprintf(text, sizeof text, format.c_str(), value);
  else
    std::snprintf(text, sizeof text, format.c_str(), intValue);
  PostStatusText(window, text);
}

}  // namespace

bool WaitBeforeRetry(std::atomic<bool>* cancel) {
  for (int i = 0; i < 20; ++i) {
    if (cancel->load()) return false;
    Sleep(100);
  }
  return !cancel->load();
}

int CombinedPercent(std::uint64_t base, std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 0;
  std::uint64_t p = (base + done) * 100 / total;
  return p > 100 ? 100 : static_cast<int>(p);
}

void RestoreBackupFile(const std::wstring& target, const std::wstring& backup) {
  DeleteFileW(target.c_str());
  MoveFileW(backup.c_str(), target.c_str());
}

bool DownloadFile(const DownloadRequest& r) {
  std::atomic<bool> localCancel{false};
  std::atomic<bool>* cancel = r.cancel ? r.cancel : &localCancel;
  const std::string sizeFormat = r.sizeFormat.empty() ? Gbk(u8"正在下载补丁... 已下载 %.1f MB") : r.sizeFormat;

  bool succeeded = false;
  // The readout's speed: bytes this call took off the network, over all its
  // attempts; whatever a resume found at the target is not among them.
  SpeedMeter meter;
  std::uint64_t received = 0;
  const ULONGLONG started = GetTickCount64();
  ULONGLONG lastText = 0;
  // Bytes of the file at the target. A retry resumes from these only:
  // whatever lay at the target before (a stale cache, an archive that could
  // not be set aside) is never taken for the start of the file, unless the
  // caller vouches for it.
  std::uint64_t written = r.resumeFrom;
  // The expected hash is checked on the bytes as they are written: the
  // digest always holds exactly the file's bytes so far.
  const bool hashing = !r.expectedHash.empty() || r.sha256Out;
  Sha256Stream digest;
  // Bytes that cannot be read back cannot be hashed: the file starts afresh.
  if (hashing && written > 0 && !digest.UpdateFromFile(r.target, written)) written = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (succeeded || cancel->load()) break;
    if (r.window && !IsWindow(r.window)) break;
    if (attempt > 0) {
      char text[128];
      std::snprintf(text, sizeof text, Gbk(u8"网络中断，正在重试 (%d/%d)...").c_str(), attempt + 1, kAttempts);
      PostStatusText(r.window, text);
      if (!WaitBeforeRetry(cancel)) break;
    }
    const std::uint64_t offset = written;
    char range[64] = {};
    if (offset > 0) std::snprintf(range, sizeof range, "Range: bytes=%llu-", static_cast<unsigned long long>(offset));
    OpenedUrl opened;
    if (!OpenUrl(r.url, offset > 0 ? range : nullptr, {60000, 60000, ReceiveTimeoutFor(r.stallMs)}, &opened)) {
      if (attempt == kAttempts - 1 && IsNetTimeoutError(opened.error)) PostNetTimeout(r.window);
      continue;
    }
    HINTERNET request = opened.request.get();

    DWORD status = QueryStatusCode(request);
    bool continuation = status == 206 && offset > 0;
    // An error page is not the file: without this a 404 body of the right
    // length would be saved and reported as a finished download.
    if (status != 200 && !continuation) continue;
    if (continuation && !PartStartsAt(request, offset, r.url)) continue;  // the next attempt asks again
    std::uint64_t contentLength =
        std::strtoull(QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH, 32).c_str(), nullptr, 10);
    std::uint64_t fileSize = contentLength;
    if (continuation) {
      std::uint64_t total = ContentRangeTotal(QueryHeader(request, HTTP_QUERY_CONTENT_RANGE, 160));
      fileSize = total ? total : contentLength + offset;
    }

    FILE* f = _wfopen(r.target.c_str(), continuation ? L"ab" : L"wb");
    if (!f) break;  // the target cannot be written: no further attempt

    std::uint64_t done = continuation ? offset : 0;
    int lastPercent = -1;
    std::uint64_t lastReportKiB = 0;
    bool readError = false, writeError = false, tooLong = false;
    // The reader takes the request over and watches the cancel flag, also
    // while a read is blocked.
    CancellableReader reader(std::move(opened), kReadBuffer, r.stallMs);
    if (!reader.ok()) readError = true;
    if (hashing && !continuation) digest.Reset();  // the file starts again from its first byte
    while (!readError && !cancel->load()) {
      if (r.window && !IsWindow(r.window)) {
        cancel->store(true);
        break;
      }
      const char* data = nullptr;
      DWORD got = 0;
      ReadStatus rs = reader.Read(&data, &got, cancel);
      if (rs == ReadStatus::kEnd || rs == ReadStatus::kCancelled) break;
      if (rs == ReadStatus::kStalled)
        LogWrite("Download read stall (>=%lums): %s", static_cast<unsigned long>(r.stallMs), r.url.c_str());
      if (rs != ReadStatus::kData) {
        if (!cancel->load()) readError = true;
        break;
      }
      if (r.expectedSize > 0 && got > r.expectedSize - std::min(done, r.expectedSize)) {
        LogWrite("Download longer than expected (%llu bytes): %s", static_cast<unsigned long long>(r.expectedSize),
                 r.url.c_str());
        tooLong = true;
        break;
      }
      if (std::fwrite(data, 1, got, f) != got) {
        writeError = true;
        break;
      }
      if (hashing) digest.Update(data, got);
      done += got;
      received += got;
      const ULONGLONG now = GetTickCount64();
      meter.Sample(now - started, received);
      if (!r.label.empty() && (now - lastText >= 300 || lastText == 0)) {
        lastText = now;
        const std::uint64_t whole = r.overallTotal > 0 ? r.overallTotal : fileSize;
        const ReadoutFigures figures{r.overallTotal > 0 ? r.base + done : done, whole, meter.BytesPerSecond(),
                                     meter.Steady()};
        PostStatusText(r.window, (r.label + " " + GbkFromUtf8(ReadoutText(u8"", figures))).c_str());
      }
      int percent = -1;
      if (r.overallTotal > 0) {
        percent = CombinedPercent(r.base, done, r.overallTotal);
      } else if (fileSize > 0) {
        percent = CombinedPercent(0, done, fileSize);
      } else if (r.label.empty() && done / 1024 >= lastReportKiB + 256) {
        lastReportKiB = done / 1024;
        PostFormatted(r.window, sizeFormat, static_cast<double>(done) / 1048576.0, true, 0);
      }
      if (percent >= 0 && percent != lastPercent) {
        if (r.window) PostMessageA(r.window, WMU_PROGRESS, static_cast<WPARAM>(percent), 0);
        if (r.label.empty()) PostFormatted(r.window, r.percentFormat, 0, false, percent);
        lastPercent = percent;
      }
    }
    if (std::fclose(f) != 0) writeError = true;
    // After a failed write the file's length is not known, and a body longer
    // than the file is not the file: the next attempt starts it afresh.
    written = writeError || tooLong ? 0 : done;
    if (cancel->load()) break;
    if (!readError && !writeError && !tooLong && ((fileSize > 0 && done == fileSize) || (fileSize == 0 && done > 0)))
      succeeded = true;
  }

  if (succeeded && hashing) {
    // The previous version is only given up once the new file is verified.
    std::string actual;
    bool hashed = digest.Finish(&actual) || Sha256HexOfFile(r.target, &actual);
    if (!hashed || (!r.expectedHash.empty() && !DigestEquals(actual, r.expectedHash))) succeeded = false;
    if (succeeded && r.sha256Out) *r.sha256Out = actual;
  }
  if (succeeded) {
    if (r.hasBackup) DeleteFileW(r.backup.c_str());
  } else if (r.hasBackup) {
    RestoreBackupFile(r.target, r.backup);
  }
  return succeeded;
}
