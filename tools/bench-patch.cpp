// Runs the patch update of one edition without a window, as the window
// would start its worker. For the benchmark: prints the result and the
// seconds it took.
//
//   rp-bench-patch MANIFEST_NAME GAME_PATH_OF_WOW_EXE
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "app/messages.h"
#include "install/install.h"
#include "manifest/fetch_manifest.h"
#include "net/text.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&a);
  // The log lines of the update are part of the figures; the launcher's
  // start-up would have made their folder.
  wchar_t appData[MAX_PATH] = {};
  if (SHGetSpecialFolderPathW(nullptr, appData, CSIDL_LOCAL_APPDATA, TRUE))
    CreateDirectoryW((std::wstring(appData) + L"\\RealmPorter").c_str(), nullptr);
  const std::wstring game = argv[2];
  const std::wstring folder = game.substr(0, game.find_last_of(L'\\'));
  std::atomic<bool> busy{false}, cancel{false};
  PatchJob job;
  job.archive5 = folder + L"\\Data\\zhCN\\patch-zhCN-5.MPQ";
  job.archive6 = folder + L"\\Data\\zhCN\\patch-zhCN-6.MPQ";
  job.gamePath = game;
  job.manifestName = WideToUtf8(argv[1]);
  job.percentFormat = Gbk(u8"正在下载高清补丁... %d%%");
  job.sizeFormat = Gbk(u8"正在下载高清补丁... 已下载 %.1f MB");
  job.busy = &busy;
  job.cancel = &cancel;
  PatchWorker(job);
  QueryPerformanceCounter(&b);
  std::printf("%s %.3f s\n", busy.load() ? "busy" : "done", static_cast<double>(b.QuadPart - a.QuadPart) / f.QuadPart);
  return 0;
}
