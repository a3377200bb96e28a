// realmporter-fetch: the launcher's client download without its window.
//
//   realmporter-fetch [--limit KIB_PER_S] MANIFEST_NAME SAVE_FOLDER
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
#include "download/job.h"
#include "manifest/fetch_manifest.h"
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::setlocale(LC_CTYPE, "");
  if (argc >= 3 && std::wcscmp(argv[1], L"--limit") == 0) {
    const long kib = std::wcstol(argv[2], nullptr, 10);
    if (kib > 0) SetDownloadCap(static_cast<std::uint64_t>(kib) * 1024);
    argc = kib > 0 ? argc - 2 : 0;
    argv += 2;
  }
  if (argc != 3) {
    std::fputs(
        "usage: realmporter-fetch [--limit KIB_PER_S] MANIFEST_NAME SAVE_FOLDER\n"
        "  MANIFEST_NAME  wow335-hd or wow335-normal\n"
        "  SAVE_FOLDER    the client goes into its subfolder named by the manifest\n"
        "  --limit        cap the download at KIB_PER_S KiB a second\n",
        stderr);
    return 2;
  }
  std::string name = WideToUtf8(argv[1]);
  std::wstring folder = argv[2];
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
        outcome.ok = RunClientDownload(window, manifest, folder, &g_cancel, &outcome.error);
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
