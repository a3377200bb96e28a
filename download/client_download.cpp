#include "download/client_download.h"

#include <memory>

#include "app/jobs.h"
#include "app/messages.h"
#include "config/settings.h"
#include "download/client_repair.h"
#include "download/job.h"
#include "download/save_folder.h"
#include "download/take_manifest.h"
#include "net/text.h"

namespace {

void RunClient(const ClientJob& job) {
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (IsWindow(job.window)) PostMessageA(job.window, WMU_CLIENT_CONNECTING, 0, 0);
  std::wstring folder = NormalizeSaveFolder(job.saveFolder);
  std::string error;
  bool succeeded = false;
  ClientManifest manifest;
  if (!ClientCancel.load()) {
    if (FetchClientManifest(job.manifestName, &manifest, &error)) {
      // A folder that holds a client (its record or its files tell) is
      // updated file by file, by blocks, each made beside the old one;
      // never downloaded over in place. A running patch update may be
      // replacing the same archives through the same names beside them:
      // the update is refused until it ends, and the player is told so.
      RepairOutcome updated;
      const bool patching = PatchNormalBusy.load() || PatchHdBusy.load();
      if (!ClientCancel.load()) {
        if (!HoldsOlderClient(manifest, folder))
          succeeded = DownloadFollowingManifest(job.window, job.manifestName, &manifest, folder, &ClientCancel, &error);
        else if (patching)
          error = Gbk(u8"补丁更新正在进行，请等它完成后再更新这个客户端。");
        else
          succeeded =
              UpdateOlderClient(job.window, job.manifestName, &manifest, folder, &ClientCancel, &updated, &error);
      }
    } else if (!ClientCancel.load()) {
      PostStatusText(job.window, error.c_str());
    }
  }
  std::wstring baseDir = TrimSaveFolder(folder);
  if (succeeded && !baseDir.empty()) SaveClientPath(baseDir);
  if (SUCCEEDED(com)) CoUninitialize();
  FinishClientJob(job, succeeded, baseDir, error);
}

}  // namespace

void FinishClientJob(const ClientJob& job, bool succeeded, const std::wstring& baseDir, const std::string& error) {
  auto result = std::make_unique<ClientDownloadResult>();
  result->succeeded = succeeded;
  result->cancelled = ClientCancel.load();
  result->baseDir = baseDir;
  result->folderName = job.folderName;
  if (!result->succeeded && !result->cancelled) result->errorText = error;
  result->buttonId = job.buttonId;
  result->buttonLabel = job.buttonLabel;
  ClientBusy.store(false);
  // A failed post (the window is gone) leaves the record to this thread.
  if (IsWindow(job.window) && PostMessageA(job.window, WMU_CLIENT_DONE, 0, reinterpret_cast<LPARAM>(result.get())))
    result.release();
}

void ClientDownloadThread(ClientJob job) {
  RunWorkerGuarded(
      "ClientDownloadThread", [&] { RunClient(job); }, [&] { FinishClientJob(job, false, {}, Gbk(u8"下载未完成。")); });
}
