// The client buttons: the save folder, starting the download, and what the
// window does when the download thread reports back.
#include "ui/commands.h"

#include <memory>

#include <shlobj.h>

#include "app/jobs.h"
#include "app/log.h"
#include "app/messages.h"
#include "config/serverlist.h"
#include "config/settings.h"
#include "download/client_download.h"
#include "download/save_folder.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "net/text.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"
#include "ui/folder_picker.h"
#include "ui/window_services.h"
#include "ui/worker_messages.h"

namespace {

struct Kind {
  int button;
  const char* manifest;
  const wchar_t* folderName;
  const wchar_t* label;
};

Kind KindOf(ClientKind kind) {
  if (kind == ClientKind::Hd)
    return {kIdClientHd, "wow335-hd", L"[HD]Wow3.3.5a",
            L"\u4e0b\u8f7d\u9ad8\u6e05\u5ba2\u6237\u7aef"};  // 下载高清客户端
  return {kIdClientNormal, "wow335-normal", L"Wow3.3.5a",
          L"\u4e0b\u8f7d\u6000\u65e7\u5ba2\u6237\u7aef"};  // 下载怀旧客户端
}

// The folder the player chooses; empty when the dialog is cancelled.
std::wstring AskForSaveFolder(HWND hwnd) {
  return PickFolder(hwnd, UiText(u8"请选择客户端保存目录（建议选非系统盘）"), SuggestSaveFolder());
}

// The chosen folder must be one: there, or made now. A refusal says why.
bool SaveFolderUsable(HWND hwnd, const std::wstring& folder) {
  DWORD attr = GetFileAttributesW(folder.c_str());
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return true;
  int rc = attr == INVALID_FILE_ATTRIBUTES ? SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr) : ERROR_FILE_EXISTS;
  if (rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS) return true;
  LogWrite("SaveFolder: cannot use %ls, error=%d", folder.c_str(), rc);
  ShowGbkBox(hwnd, Gbk(u8"无法使用这个文件夹：") + GbkFromWide(folder) + Gbk(u8"\n\n请选择或输入其他文件夹。"),
             Gbk(u8"提示"), MB_ICONWARNING);
  return false;
}

}  // namespace

std::wstring SuggestSaveFolder() {
  std::wstring last = ReadClientPath();
  if (!last.empty()) {
    DWORD attr = GetFileAttributesW(last.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return last;
  }
  // Beside the game the player already has: its folder's parent.
  if (GamePath[0]) {
    std::wstring parent = GameFolderOf(GamePath);
    const size_t cut = parent.find_last_of(L"\\/");
    if (cut != std::wstring::npos && cut > 2) {
      parent.resize(cut);
      DWORD attr = GetFileAttributesW(parent.c_str());
      if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return parent;
    }
  }
  wchar_t sys[MAX_PATH] = {};
  GetSystemDirectoryW(sys, MAX_PATH);
  wchar_t systemLetter = sys[0] ? sys[0] : L'C';
  std::wstring best;
  ULONGLONG bestFree = 0;
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (towupper(letter) == towupper(systemLetter)) continue;
    std::wstring root = std::wstring(1, letter) + L":\\";
    if (GetDriveTypeW(root.c_str()) != DRIVE_FIXED) continue;
    ULARGE_INTEGER freeToUser;
    if (!GetDiskFreeSpaceExW(root.c_str(), &freeToUser, nullptr, nullptr)) continue;
    if (freeToUser.QuadPart > bestFree) {
      bestFree = freeToUser.QuadPart;
      best = root;
    }
  }
  return best.empty() ? std::wstring(1, systemLetter) + L":\\" : best;
}

void OnClientCommand(HWND hwnd, ClientKind which) {
  const Kind k = KindOf(which);
  if (JobRunning(JobKind::Client)) {
    if (ConfirmCancel(hwnd, u8"确定取消下载吗？\n\n已下载的进度会保留，下次可继续。", u8"取消下载"))
      CancelJob(hwnd, JobKind::Client, u8"正在取消下载...");
    return;
  }
  if (GameStillRunning(kGameExitWaitMs))
    return ShowBox(hwnd, u8"请先关闭正在运行的游戏再进行下载！", u8"提示", MB_ICONWARNING);
  ClientJob job;
  job.saveFolder = AskForSaveFolder(hwnd);
  if (job.saveFolder.empty() || !SaveFolderUsable(hwnd, job.saveFolder)) return;
  ClaimJob(hwnd, JobKind::Client, k.button);
  const std::wstring target = TrimSaveFolder(NormalizeSaveFolder(job.saveFolder)) + L"\\" + k.folderName;
  LogWrite("ClientDownload: saving into %ls", target.c_str());
  SetClientTarget(hwnd, target);
  job.window = hwnd;
  job.manifestName = k.manifest;
  job.folderName = k.folderName;
  job.buttonId = k.button;
  job.buttonLabel = k.label;
  if (!TrySpawnDetached(ClientDownloadThread, std::move(job))) {
    ReleaseJob(hwnd, JobKind::Client);
    ShowBox(hwnd, u8"系统繁忙，无法启动下载线程，请稍后重试。", u8"错误", MB_ICONERROR);
  }
}

void OnClientDone(HWND hwnd, ClientDownloadResult* raw) {
  if (!raw) return;
  std::unique_ptr<ClientDownloadResult> result(raw);
  SetTaskbarProgressNone(hwnd);
  if (!result->cancelled) DrawAttention(hwnd, result->succeeded);
  if (result->succeeded && !result->baseDir.empty()) {
    PostMessageA(hwnd, WMU_PROGRESS, 100, 0);
    if (HWND notice = GetDlgItem(hwnd, kIdNotice)) {
      std::wstring text =
          UiText(u8"客户端保存在：") + result->baseDir + L"\\" + result->folderName + UiText(u8" 下载完成!");
      SetWindowTextW(notice, text.c_str());
      ShowWindow(notice, SW_SHOW);
      InvalidateRect(hwnd, nullptr, FALSE);
    }
    wchar_t path[kGamePathUnits];
    int n = _snwprintf(path, kGamePathUnits, L"%ls\\%ls\\Wow.exe", result->baseDir.c_str(), result->folderName.c_str());
    if (n > 0 && n < static_cast<int>(kGamePathUnits)) {
      ShowGamePath(hwnd, path);
      WriteRealmConfig(SelectedServer(hwnd), GamePath);
    }
    HideProgress(hwnd);
    // The button reads as before while the question is up.
    ReleaseJob(hwnd, JobKind::Client);
    if (ShowGbkBox(hwnd, Gbk(u8"是否开始游戏？"), Gbk(u8"下载完成"), MB_YESNO | MB_ICONQUESTION) == IDYES &&
        GamePath[0])
      StartGame(GamePath);
    return;
  }
  ResetProgress(hwnd);
  ReleaseJob(hwnd, JobKind::Client);
  // A cancelled download leaves the worker's last line: what it kept.
  if (result->cancelled) return;
  ShowStandingNotice(hwnd);
  std::string text = result->errorText.empty() ? Gbk(u8"下载失败，请检查网络。") : result->errorText;
  ShowGbkBox(hwnd, text, Gbk(u8"错误"), MB_ICONERROR);
}
