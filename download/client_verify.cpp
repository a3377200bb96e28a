#include "download/client_verify.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/jobs.h"
#include "app/log.h"
#include "app/messages.h"
#include "app/readout.h"
#include "download/client_repair.h"
#include "download/pool.h"
#include "download/take_manifest.h"
#include "manifest/install_paths.h"
#include "hash/sha256.h"
#include "hash/sha256_stream.h"
#include "net/text.h"

namespace {

constexpr DWORD kReadBlock = 1048576;

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// How the check reports: the hashing threads add to the counters, and the
// thread that started them posts the readout (sizes, percentage, a moving
// average of the bytes hashed, time left) every 100 ms while they run.
struct CheckReport {
  HWND window = nullptr;
  std::uint64_t total = 0;
  std::atomic<std::uint64_t> done{0};
  std::uint32_t fileCount = 0;
  std::atomic<std::uint32_t> filesDone{0};
  ULONGLONG started = 0;
  SpeedMeter meter;
  bool posted = false;

  void Post() {
    if (!window) return;
    const ULONGLONG now = GetTickCount64();
    if (!posted) started = now;
    posted = true;
    const std::uint64_t d = done.load();
    meter.Sample(now - started, d);
    PostMessageA(window, WMU_PROGRESS, static_cast<WPARAM>(ReadoutPercent(d, total)), 0);
    char files[96];
    std::snprintf(files, sizeof files, Gbk(u8"正在校验客户端: %u / %u 个文件，").c_str(), filesDone.load(), fileCount);
    const ReadoutFigures figures{d, total, meter.BytesPerSecond(), meter.Steady()};
    PostStatusText(window, (files + GbkFromUtf8(ReadoutText(u8"", figures))).c_str());
  }
};

// Hashes the file in one pass; false when cancelled. `matches` is false
// when the file cannot be read to its end. Counts at most the listed size,
// whatever the file holds.
bool HashMatches(const std::wstring& path, const ManifestFile& f, const std::atomic<bool>* cancel, CheckReport& report,
                 bool* matches) {
  *matches = false;
  std::uint64_t counted = 0;
  const auto count = [&](std::uint64_t upTo) {
    const std::uint64_t capped = upTo < f.size ? upTo : f.size;
    if (capped > counted) report.done.fetch_add(capped - counted);
    counted = capped > counted ? capped : counted;
  };
  std::unique_ptr<void, HandleCloser> file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                       nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    LogWrite("Check: cannot open %ls err=%lu", path.c_str(), static_cast<unsigned long>(GetLastError()));
    count(f.size);
    return true;
  }
  Sha256Stream digest;
  std::vector<char> buffer(kReadBlock);
  std::uint64_t read = 0;
  for (;;) {
    if (cancel && cancel->load()) return false;
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.data(), kReadBlock, &got, nullptr)) {
      LogWrite("Check: read failed %ls err=%lu", path.c_str(), static_cast<unsigned long>(GetLastError()));
      break;
    }
    if (got == 0) break;
    digest.Update(buffer.data(), got);
    read += got;
    count(read);
  }
  count(f.size);
  std::string actual;
  *matches = read == f.size && digest.Finish(&actual) && DigestEquals(actual, f.sha256);
  return true;
}

// One listed file judged: size first, the hash only where the size allows
// a match. False when cancelled.
bool JudgeListedFile(const ManifestFile& f, const std::wstring& local, const ProgressDocument& record,
                     const std::atomic<bool>* cancel, CheckReport& report, CheckedFile* out) {
  LocalFile disk;
  disk.exists = FileSizeOf(local, &disk.size);
  if (NeedsHash(f, disk)) {
    disk.hashed = true;
    if (!HashMatches(local, f, cancel, report, &disk.hashMatches)) return false;
  } else {
    report.done.fetch_add(f.size);
  }
  auto entry = record.files.find(f.path);
  const FileState state = JudgeFile(f, disk, entry == record.files.end() ? nullptr : &entry->second);
  if (state != FileState::Fine)
    LogWrite("Check: %s is %s (%llu of %llu bytes)", f.path.c_str(),
             state == FileState::Missing   ? "missing"
             : state == FileState::Older   ? "an older version"
             : state == FileState::Partial ? "a partial download"
                                           : "damaged",
             static_cast<unsigned long long>(disk.size), static_cast<unsigned long long>(f.size));
  *out = {f, state, disk.size};
  report.filesDone.fetch_add(1);
  return true;
}

}  // namespace

std::wstring ProgressRecordPath(const std::wstring& saveFolder, const std::wstring& installDir,
                                const ClientManifest& manifest) {
  std::wstring folder = installDir;
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  const size_t cut = folder.find_last_of(L"\\/");
  const std::string leaf = WideToUtf8(cut == std::wstring::npos ? folder : folder.substr(cut + 1));
  return JoinPath(saveFolder, L".ravelgap\\progress\\" +
                                  Utf8ToWide(ProgressFileStem(manifest.product, manifest.install_root, leaf)) +
                                  L".json");
}

ProgressDocument ReadProgressRecord(const std::wstring& saveFolder, const std::wstring& installDir,
                                    const ClientManifest& manifest) {
  ProgressDocument doc;
  const std::string& product = manifest.product;
  const std::wstring path = ProgressRecordPath(saveFolder, installDir, manifest);
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return doc;
  std::string text;
  char chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  std::fclose(f);
  if (!ParseProgressText(text, &doc) || doc.product != product) doc = ProgressDocument{};
  return doc;
}

bool CheckClient(HWND window, const ClientManifest& manifest, const std::wstring& installDir,
                 const ProgressDocument& record, const std::atomic<bool>* cancel, ClientCheckResult* out,
                 std::string* error) {
  *out = ClientCheckResult{};
  CheckReport report;
  report.window = window;
  report.fileCount = static_cast<std::uint32_t>(manifest.files.size());
  std::vector<std::wstring> locals;
  locals.reserve(manifest.files.size());
  for (const ManifestFile& f : manifest.files) {
    const std::wstring local =
        IsSafeManifestPath(f.path) ? JoinPath(installDir, ManifestPathToLocal(Utf8ToWide(f.path))) : std::wstring();
    if (local.empty() || !IsInsideInstallDir(installDir, local)) {
      *error = Gbk(u8"清单包含非法路径: ") + GbkFromUtf8(f.path);
      return false;
    }
    locals.push_back(local);
    report.total += f.size;
  }
  report.Post();

  // Files are hashed side by side, one thread a core, so that the check is
  // bounded by the disk rather than by one thread of SHA-256. Each thread
  // takes the next file by index and fills that file's slot: the result
  // keeps the manifest's order.
  std::vector<CheckedFile> slots(manifest.files.size());
  std::atomic<size_t> next{0};
  std::atomic<bool> stopped{false}, failed{false};
  std::atomic<unsigned> finished{0};
  const auto work = [&] {
    try {
      for (size_t i; !stopped.load() && (i = next.fetch_add(1)) < slots.size();)
        if ((cancel && cancel->load()) ||
            !JudgeListedFile(manifest.files[i], locals[i], record, cancel, report, &slots[i]))
          stopped.store(true);
    } catch (...) {
      failed.store(true);
      stopped.store(true);
    }
    finished.fetch_add(1);
  };
  unsigned threads = std::thread::hardware_concurrency();
  threads = std::max(1u, std::min({threads, 8u, static_cast<unsigned>(slots.size())}));
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
  } catch (...) {
    // Fewer threads only make the check slower; with none, this thread works.
  }
  if (pool.empty()) work();
  while (finished.load() < pool.size()) {
    Sleep(100);
    report.Post();
  }
  for (std::thread& t : pool) t.join();
  if (failed.load()) {
    *error = Gbk(u8"校验未完成。");
    return false;
  }
  if (stopped.load() || (cancel && cancel->load())) {
    *error = Gbk(u8"校验已取消。");
    return false;
  }
  for (const CheckedFile& c : slots) CountState(&out->counts, c.state, c.file.size);
  out->files = std::move(slots);
  report.Post();
  return true;
}

Edition EditionOfFolder(const std::wstring& gameFolder, const ClientManifest& normal, const ClientManifest& hd) {
  return DecideEdition(normal.files, hd.files, [&gameFolder](const std::string& path, std::uint64_t* size) {
    if (!IsSafeManifestPath(path)) return false;
    return FileSizeOf(JoinPath(gameFolder, ManifestPathToLocal(Utf8ToWide(path))), size);
  });
}

namespace {

// The last step of the check's thread: busy cleared, then the result posted
// (or, when the window is gone, dropped).
void FinishVerify(const VerifyJob& job, std::unique_ptr<ClientVerifyResult> result) {
  result->cancelled = ClientCancel.load();
  if (result->cancelled) result->succeeded = false;
  // The window keeps a cancelled job's last line: it says what changed.
  if (result->cancelled && IsWindow(job.window))
    PostStatusText(job.window, result->repair ? GbkFromUtf8(UpdateCancelledText(result->repaired)).c_str()
                                              : Gbk(u8"已取消校验，游戏文件未作改动。").c_str());
  ClientBusy.store(false);
  if (IsWindow(job.window) && PostMessageA(job.window, WMU_VERIFY_DONE, 0, reinterpret_cast<LPARAM>(result.get())))
    result.release();
}

void RunVerify(const VerifyJob& job, ClientVerifyResult* result) {
  if (IsWindow(job.window)) PostMessageA(job.window, WMU_CLIENT_CONNECTING, 0, 0);
  ClientManifest normal, hd;
  std::string error;
  if (!FetchClientManifest("wow335-normal", &normal, &error) || ClientCancel.load() ||
      !FetchClientManifest("wow335-hd", &hd, &error)) {
    result->errorText = error;
    return;
  }
  if (ClientCancel.load()) return;
  const Edition edition = EditionOfFolder(job.gameFolder, normal, hd);
  LogWrite("Check: %ls holds %s", job.gameFolder.c_str(),
           edition == Edition::Normal    ? "the normal client"
           : edition == Edition::Hd      ? "the HD client"
           : edition == Edition::Neither ? "neither client"
                                         : "a client of unclear edition");
  if (edition == Edition::Neither) {
    result->errorText =
        Gbk(u8"游戏目录中没有找到客户端：它既不是怀旧客户端，也不是高清客户端。请先选择正确的游戏路径。");
    return;
  }
  if (edition == Edition::Unclear) {
    result->errorText =
        Gbk(u8"无法判断游戏目录中是怀旧客户端还是高清客户端（两者的区别文件都已损坏或缺失）。"
            u8"请重新下载客户端到原保存目录。");
    return;
  }
  ClientManifest& manifest = edition == Edition::Hd ? hd : normal;
  result->edition = edition == Edition::Hd ? 2 : 1;
  const size_t cut = job.gameFolder.find_last_of(L"\\/");
  const std::wstring saveFolder = cut == std::wstring::npos ? std::wstring() : job.gameFolder.substr(0, cut);
  const ProgressDocument record = ReadProgressRecord(saveFolder, job.gameFolder, manifest);
  ClientCheckResult check;
  if (!CheckClient(job.window, manifest, job.gameFolder, record, &ClientCancel, &check, &error)) {
    result->errorText = error;
    return;
  }
  result->succeeded = true;
  result->checked = check.counts.checked;
  result->damaged = check.counts.damaged;
  result->older = check.counts.older;
  result->missing = check.counts.missing;
  result->bytesToFetch = check.counts.bytesToFetch;
  LogWrite("Check: %u files, %u damaged, %u older, %u missing", check.counts.checked, check.counts.damaged,
           check.counts.older, check.counts.missing);
  if (!job.repair) return;
  result->repair = true;
  RepairOutcome repaired;
  result->succeeded =
      RepairFollowingManifest(job.window, edition == Edition::Hd ? "wow335-hd" : "wow335-normal", &manifest, saveFolder,
                              job.gameFolder, check, record, &ClientCancel, &repaired, &error);
  result->repaired = repaired.repaired;
  result->removed = repaired.removed;
  result->fetchedBytes = repaired.fetchedBytes;
  if (!result->succeeded) result->errorText = error;
  LogWrite("Repair: %u files replaced, %u removed, %llu bytes fetched", repaired.repaired, repaired.removed,
           static_cast<unsigned long long>(repaired.fetchedBytes));
}

}  // namespace

void ClientVerifyThread(VerifyJob job) {
  auto result = std::make_unique<ClientVerifyResult>();
  RunWorkerGuarded(
      "ClientVerifyThread",
      [&] {
        HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        RunVerify(job, result.get());
        if (SUCCEEDED(com)) CoUninitialize();
        FinishVerify(job, std::move(result));
      },
      [&] {
        auto failed = std::make_unique<ClientVerifyResult>();
        failed->errorText = Gbk(u8"校验未完成。");
        FinishVerify(job, std::move(failed));
      });
}
