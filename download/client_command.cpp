#include "download/client_command.h"

#include <shlobj.h>

#include <memory>

#include "app/jobs.h"
#include "app/messages.h"
#include "config/settings.h"
#include "download/job.h"
#include "download/save_folder.h"
#include "game/game.h"
#include "manifest/fetch_manifest.h"
#include "net/text.h"
#include "ui/commands.h"
#include "ui/ids.h"

namespace {

struct Kind {
  int button, other;
  const char* manifest;
  const wchar_t* folderName;
  const wchar_t* label;
};

Kind KindOf(ClientKind kind) {
  if (kind == ClientKind::Hd)
    return {kIdClientHd, kIdClientNormal, "wow335-hd", L"[HD]Wow3.3.5a",
            L"\u4e0b\u8f7d\u9ad8\u6e05\u5ba2\u6237\u7aef"};  // 下载高清客户端
  return {kIdClientNormal, kIdClientHd, "wow335-normal", L"Wow3.3.5a",
          L"\u4e0b\u8f7d\u6000\u65e7\u5ba2\u6237\u7aef"};  // 下载怀旧客户端
}

void SetButtons(HWND hwnd, const Kind& k, BOOL enable) {
  for (int id : {int(kIdPatchNormal), int(kIdPatchHd), k.other})
    if (HWND b = GetDlgItem(hwnd, id)) EnableWindow(b, enable);
}

}  // namespace

int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED && data) SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

std::wstring SuggestSaveFolder() {
  std::wstring last = ReadClientPath();
  if (!last.empty()) {
    DWORD attr = GetFileAttributesW(last.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return last;
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
  if (ClientBusy.load()) {
    if (ConfirmCancel(hwnd, u8"确定取消下载吗？\n\n已下载的进度会保留，下次可继续。", u8"取消下载")) {
      ClientCancel.store(true);
      RunCancelTail(hwnd, k.button, Gbk(u8"正在取消下载...").c_str());
    }
    return;
  }
  if (IsGameRunning()) {
    MessageBoxA(hwnd, Gbk(u8"请先关闭正在运行的游戏再进行下载！").c_str(), Gbk(u8"提示").c_str(), MB_ICONWARNING);
    return;
  }
  std::wstring suggested = SuggestSaveFolder();
  BROWSEINFOW bi = {};
  bi.hwndOwner = hwnd;
  // 请选择客户端保存目录（建议选择剩余空间充足的非系统盘）
  bi.lpszTitle = L"\u8bf7\u9009\u62e9\u5ba2\u6237\u7aef\u4fdd\u5b58\u76ee\u5f55\uff08\u5efa\u8bae\u9009\u62e9\u5269"
                 L"\u4f59\u7a7a\u95f4\u5145\u8db3\u7684\u975e\u7cfb\u7edf\u76d8\uff09";
  bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  bi.lpfn = BrowseCallback;
  bi.lParam = reinterpret_cast<LPARAM>(suggested.c_str());
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&bi);
  if (!item) return;
  wchar_t folder[MAX_PATH] = {};
  BOOL hasPath = SHGetPathFromIDListW(item, folder);
  if (!hasPath || !folder[0]) {
    CoTaskMemFree(item);
    return;
  }
  SetButtons(hwnd, k, FALSE);
  if (HWND b = GetDlgItem(hwnd, k.button)) SetWindowTextW(b, L"\u53d6\u6d88\u4e0b\u8f7d");  // 取消下载
  if (!TrySpawnDetached(ClientDownloadThread, hwnd, std::wstring(folder), std::string(k.manifest),
                        std::wstring(k.folderName), k.button, std::wstring(k.label))) {
    SetButtons(hwnd, k, TRUE);
    if (HWND b = GetDlgItem(hwnd, k.button)) SetWindowTextW(b, k.label);
    MessageBoxA(hwnd, Gbk(u8"系统繁忙，无法启动下载线程，请稍后重试。").c_str(), Gbk(u8"错误").c_str(), MB_ICONERROR);
  }
  CoTaskMemFree(item);
}

void ClientDownloadThread(HWND window, std::wstring saveFolder, std::string manifestName, std::wstring folderName,
                          int buttonId, std::wstring buttonLabel) {
  ClientBusy.store(true);
  ClientCancel.store(false);
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (IsWindow(window)) PostMessageA(window, WMU_CLIENT_CONNECTING, 0, 0);
  std::wstring folder = NormalizeSaveFolder(saveFolder);
  std::string error;
  bool succeeded = false;
  ClientManifest manifest;
  if (!ClientCancel.load()) {
    if (FetchClientManifest(manifestName, &manifest, &error)) {
      if (!ClientCancel.load()) succeeded = RunClientDownload(window, manifest, folder, &ClientCancel, &error);
    } else if (!ClientCancel.load()) {
      PostStatusText(window, error.c_str());
    }
  }
  std::wstring baseDir = TrimSaveFolder(folder);
  if (succeeded && !baseDir.empty()) SaveClientPath(baseDir);
  ClientBusy.store(false);
  if (SUCCEEDED(com)) CoUninitialize();

  auto result = std::make_unique<ClientDownloadResult>();
  result->succeeded = succeeded;
  result->cancelled = ClientCancel.load();
  result->baseDir = baseDir;
  result->folderName = folderName;
  if (!result->succeeded && !result->cancelled) result->errorText = error;
  result->buttonId = buttonId;
  result->buttonLabel = buttonLabel;
  // A failed post (the window is gone) leaves the record to this thread.
  if (IsWindow(window) && PostMessageA(window, WMU_CLIENT_DONE, 0, reinterpret_cast<LPARAM>(result.get())))
    result.release();
}
