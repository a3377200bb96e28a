// realmporter-fetch: the launcher's client download without its window.
//
//   realmporter-fetch [--limit KIB_PER_S] MANIFEST_NAME SAVE_FOLDER
//   realmporter-fetch [--limit KIB_PER_S] --verify MANIFEST_NAME SAVE_FOLDER
//   realmporter-fetch [--limit KIB_PER_S] --repair MANIFEST_NAME SAVE_FOLDER
//
// Fetches the manifest from the built-in mirrors, downloads and verifies the
// whole client into SAVE_FOLDER\<install_root>, printing every status line
// the window would show (UTF-8) and every failed attempt (mirror, file, the
// mirror's answer). Exit code 0 only when every file is complete and
// verified. A file that fails on every mirror three rounds in a row ends the
// run with 1, naming the file and each mirror's last answer: unlike the
// launcher, which waits and tries again until the player cancels, this is an
// operator's check. Ctrl+C cancels (exit 3) and keeps what was downloaded, so
// the next run resumes. --limit caps the download at KIB_PER_S KiB a second.
//
// --verify checks the client in SAVE_FOLDER\<install_root> as the window's
// check does and prints what it found; --repair then brings every file that
// is not fine to the manifest's version (from its blocks where the mirror
// has the file's block map) and checks again. Both exit 0 only when every
// listed file is fine at the end. A download or repair whose file no mirror
// serves as the manifest says reads the manifests again and goes on with a
// newer one, or ends with 1 when there is none. A plain fetch into a folder that holds a
// client of an earlier manifest updates it the way --repair does.
#include <windows.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>

#include "app/log.h"
#include "app/messages.h"
#include "app/system_dlls.h"
#include "download/client_repair.h"
#include "download/client_verify.h"
#include "download/job.h"
#include "download/save_folder.h"
#include "download/take_manifest.h"
#include "manifest/install_paths.h"
#include "net/text.h"
#include "net/throttle.h"

namespace {

std::atomic<bool> g_cancel{false};
int g_lastPercent = -1;
// Status lines come from this thread, failed attempts from the mirror
// workers: one whole line at a time.
std::mutex g_printMutex;

void PrintUtf8(const std::string& utf8) {
  std::lock_guard<std::mutex> lock(g_printMutex);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintGbk(const char* gbk) { PrintUtf8(WideToUtf8(WideFromGbk(gbk))); }

void PrintFailedAttempt(const std::string& mirror, const std::string& path, const std::string& answer) {
  PrintUtf8("failed: " + mirror + " " + path + ": " + answer);
}

BOOL WINAPI OnConsoleCtrl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    g_cancel.store(true);
    return TRUE;
  }
  return FALSE;
}

LRESULT CALLBACK ReportProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WMU_STATUS_TEXT:
      if (HGLOBAL block = reinterpret_cast<HGLOBAL>(lp)) {
        if (const char* text = static_cast<const char*>(GlobalLock(block))) {
          PrintGbk(text);
          GlobalUnlock(block);
        }
        GlobalFree(block);
      }
      return 0;
    case WMU_PROGRESS: g_lastPercent = static_cast<int>(wp); return 0;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

struct Outcome {
  bool ok = false;
  std::string error;  // GBK
};

enum class FetchMode { Download, Verify, Repair };

// The mode and the two operands; false for any other command line.
bool ParseFetchArgs(int argc, wchar_t** argv, FetchMode* mode, std::string* name, std::wstring* folder) {
  int first = 1;
  *mode = FetchMode::Download;
  if (argc == 4 && std::wstring(argv[1]) == L"--verify") {
    *mode = FetchMode::Verify;
    first = 2;
  } else if (argc == 4 && std::wstring(argv[1]) == L"--repair") {
    *mode = FetchMode::Repair;
    first = 2;
  } else if (argc != 3 || argv[1][0] == L'-') {
    return false;
  }
  *name = WideToUtf8(argv[first]);
  *folder = argv[first + 1];
  return true;
}

void PrintCounts(const char* what, const CheckCounts& c) {
  char line[192];
  std::snprintf(line, sizeof line, "%s: %u files checked, %u fine, %u damaged, %u older, %u missing", what, c.checked,
                c.fine, c.damaged, c.older, c.missing);
  PrintUtf8(line);
}

// --verify and --repair (and the update of an older client): check, mend
// (following the manifests of the name `name`), check again.
void RunCheckMode(HWND window, const std::string& name, ClientManifest manifest, const std::wstring& folder,
                  bool repair, Outcome* outcome) {
  if (!IsPlainFolderName(manifest.install_root) || !IsPlainFolderName(manifest.product)) {
    outcome->error = Gbk(u8"清单包含非法路径: ") + GbkFromUtf8(manifest.install_root);
    return;
  }
  const std::wstring saveFolder = NormalizeSaveFolder(folder);
  const std::wstring installDir = JoinPath(saveFolder, Utf8ToWide(manifest.install_root));
  const ProgressDocument record = ReadProgressRecord(saveFolder, installDir, manifest);
  ClientCheckResult check;
  if (!CheckClient(window, manifest, installDir, record, &g_cancel, &check, &outcome->error)) return;
  PrintCounts("found", check.counts);
  for (const CheckedFile& c : check.files) {
    if (c.state == FileState::Fine) continue;
    const char* state = c.state == FileState::Missing   ? "missing"
                        : c.state == FileState::Older   ? "older"
                        : c.state == FileState::Partial ? "partial"
                                                        : "damaged";
    PrintUtf8(std::string("  ") + state + ": " + c.file.path);
  }
  if (!repair) {
    outcome->ok = check.counts.fine == check.counts.checked;
    if (!outcome->ok) outcome->error = Gbk(u8"客户端文件不完整。");
    return;
  }
  RepairOutcome repaired;
  const bool mended = RepairFollowingManifest(window, name, &manifest, saveFolder, installDir, check, record, &g_cancel,
                                              &repaired, &outcome->error);
  PrintUtf8("fetched: " + std::to_string(repaired.fetchedBytes) + " bytes, " + std::to_string(repaired.repaired) +
            " files replaced, " + std::to_string(repaired.removed) + " obsolete files removed");
  for (const std::string& path : repaired.unlisted) PrintUtf8("kept, not listed: " + path);
  if (!mended) return;
  ClientCheckResult after;
  if (!CheckClient(window, manifest, installDir, ReadProgressRecord(saveFolder, installDir, manifest), &g_cancel,
                   &after, &outcome->error))
    return;
  PrintCounts("after repair", after.counts);
  outcome->ok = after.counts.fine == after.counts.checked;
  if (!outcome->ok) outcome->error = Gbk(u8"客户端文件不完整。");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  KeepDllSearchToSystem();
  std::setlocale(LC_CTYPE, "");
  if (argc >= 3 && std::wcscmp(argv[1], L"--limit") == 0) {
    const long kib = std::wcstol(argv[2], nullptr, 10);
    if (kib > 0) SetDownloadCap(static_cast<std::uint64_t>(kib) * 1024);
    argc = kib > 0 ? argc - 2 : 0;
    argv += 2;
  }
  FetchMode mode = FetchMode::Download;
  std::string name;
  std::wstring folder;
  if (!ParseFetchArgs(argc, argv, &mode, &name, &folder)) {
    std::fputs(
        "usage: realmporter-fetch [--limit KIB_PER_S] [--verify | --repair] MANIFEST_NAME SAVE_FOLDER\n"
        "  MANIFEST_NAME  wow335-hd or wow335-normal\n"
        "  SAVE_FOLDER    the client goes into its subfolder named by the manifest\n"
        "  --verify       check the client there; --repair: check and mend it\n"
        "  --limit        cap the download at KIB_PER_S KiB a second\n",
        stderr);
    return 2;
  }
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
  const std::wstring logPath = PrepareLogFolder();
  PrintUtf8("log: " + (logPath.empty() ? std::string("(no application-data folder)") : WideToUtf8(logPath)));
  Options.giveUpAfterRounds = 3;
  Options.onFailedAttempt = PrintFailedAttempt;

  WNDCLASSW wc = {};
  wc.lpfnWndProc = ReportProc;
  wc.lpszClassName = L"RealmPorterFetch";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  MainWindow = window;

  Outcome outcome;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    try {
      ClientManifest manifest;
      std::string error;
      if (!FetchClientManifest(name, &manifest, &error)) {
        outcome.error = error;
      } else {
        PrintUtf8("manifest " + name + ": " + std::to_string(manifest.files.size()) + " files, id " +
                  manifest.manifest_id);
        if (mode != FetchMode::Download)
          RunCheckMode(window, name, manifest, folder, mode == FetchMode::Repair, &outcome);
        else if (HoldsOlderClient(manifest, NormalizeSaveFolder(folder)))
          RunCheckMode(window, name, manifest, folder, true, &outcome);
        else
          outcome.ok = DownloadFollowingManifest(window, name, &manifest, folder, &g_cancel, &outcome.error);
      }
    } catch (...) {
      outcome.error = Gbk(u8"下载未完成。");
    }
    finished.store(true);
    PostMessageW(window, WM_NULL, 0, 0);
  });
  MSG msg;
  while (!finished.load()) {
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 200, QS_ALLINPUT) == WAIT_OBJECT_0) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
  }
  worker.join();
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  DestroyWindow(window);

  if (outcome.ok) {
    PrintUtf8("result: complete");
    return 0;
  }
  std::fputs("result: ", stdout);
  PrintGbk(outcome.error.c_str());
  return g_cancel.load() ? 3 : 1;
}
