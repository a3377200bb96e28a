#include "ui/worker_messages.h"

#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/messages.h"
#include "config/settings.h"
#include "game/game.h"
#include "net/text.h"
#include "ui/ids.h"
#include "ui/layout.h"
#include "ui/main_window.h"

namespace {

HWND Item(HWND hwnd, int id) { return GetDlgItem(hwnd, id); }

void Enable(HWND hwnd, std::initializer_list<int> ids) {
  for (int id : ids)
    if (HWND c = Item(hwnd, id)) EnableWindow(c, TRUE);
}

void SetLabel(HWND hwnd, int id, std::u8string_view label) {
  if (HWND c = Item(hwnd, id)) SetWindowTextA(c, Gbk(label).c_str());
}

// A beep, and a flashing taskbar button when the window is not in front.
void DrawAttention(HWND hwnd, bool succeeded) {
  MessageBeep(succeeded ? MB_OK : MB_ICONHAND);
  if (GetForegroundWindow() != hwnd) {
    FLASHWINFO fi = {sizeof fi, hwnd, FLASHW_TRAY | FLASHW_TIMERNOFG, 5, 0};
    FlashWindowEx(&fi);
  }
}

void ShowStandingNotice(HWND hwnd) {
  HWND notice = Item(hwnd, kIdNotice);
  SetStatusText(hwnd, notice, StandingNotice());
  if (notice) ShowWindow(notice, SW_SHOW);
}

void ResetProgress(HWND hwnd) {
  if (HWND bar = Item(hwnd, kIdProgress)) {
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    ShowWindow(bar, SW_HIDE);
  }
}

void ShowBox(HWND hwnd, std::u8string_view text, std::u8string_view title, UINT flags) {
  MessageBoxA(hwnd, Gbk(text).c_str(), Gbk(title).c_str(), flags);
}

}  // namespace

void OnStatusTextMessage(HWND hwnd, LPARAM lp) {
  HGLOBAL block = reinterpret_cast<HGLOBAL>(lp);
  if (!block) return;
  if (const char* text = static_cast<const char*>(GlobalLock(block))) {
    SetStatusText(hwnd, Item(hwnd, kIdNotice), text);
    GlobalUnlock(block);
  }
  GlobalFree(block);
}

void OnProgressMessage(HWND hwnd, WPARAM percent) {
  if (HWND bar = Item(hwnd, kIdProgress)) SendMessageA(bar, PBM_SETPOS, percent, 0);
  SetTaskbarProgress(hwnd, static_cast<int>(percent));
}

void OnPatchDone(HWND hwnd, UINT msg, int result) {
  if (HWND bar = Item(hwnd, kIdProgress)) ShowWindow(bar, SW_HIDE);
  SetTaskbarProgressNone(hwnd);
  DrawAttention(hwnd, result == kJobDone);
  if (result != kJobDone) {
    if (HWND bar = Item(hwnd, kIdProgress)) SendMessageA(bar, PBM_SETPOS, 0, 0);
    ShowStandingNotice(hwnd);
    if (result == kJobFailed) ShowBox(hwnd, u8"下载失败，请检查网络。", u8"错误", MB_ICONERROR);
  }
  bool hd = msg == WMU_PATCH_HD_DONE;
  (hd ? PatchHdBusy : PatchNormalBusy).store(false);
  Enable(hwnd, {kIdStartGame, kIdPatchNormal, kIdPatchHd});
  if (hd) SetLabel(hwnd, kIdPatchHd, u8"下载高清补丁");
  else SetLabel(hwnd, kIdPatchNormal, u8"下载怀旧补丁");
}

void OnAddonDone(HWND hwnd, int result, int buttonId) {
  AddonActiveButton.store(0);
  SetTaskbarProgressNone(hwnd);
  if (result != kJobCancelled) DrawAttention(hwnd, result == kJobDone);
  if (result == kJobDone) {
    if (HWND bar = Item(hwnd, kIdProgress)) ShowWindow(bar, SW_HIDE);
  } else {
    ResetProgress(hwnd);
    ShowStandingNotice(hwnd);
    if (result == kJobFailed) ShowBox(hwnd, u8"插件安装失败，请检查网络或稍后重试。", u8"错误", MB_ICONERROR);
    else SetStatusText(hwnd, Item(hwnd, kIdNotice), Gbk(u8"已取消插件安装。").c_str());
  }
  Enable(hwnd, {kIdStartGame, kIdAddonA, kIdAddonB});
  if (buttonId == kIdAddonA) SetLabel(hwnd, kIdAddonA, u8"安装大脚插件");
  if (buttonId == kIdAddonB) SetLabel(hwnd, kIdAddonB, u8"安装魔盒插件");
}

void OnClientDone(HWND hwnd, ClientDownloadResult* raw) {
  if (!raw) return;
  std::unique_ptr<ClientDownloadResult> result(raw);
  SetTaskbarProgressNone(hwnd);
  if (!result->cancelled) DrawAttention(hwnd, result->succeeded);
  if (result->succeeded && !result->baseDir.empty()) {
    PostMessageA(hwnd, WMU_PROGRESS, 100, 0);
    if (HWND notice = Item(hwnd, kIdNotice)) {
      std::wstring text = L"\u5ba2\u6237\u7aef\u4fdd\u5b58\u5728\uff1a" + result->baseDir + L"\\" + result->folderName +
                          L" \u4e0b\u8f7d\u5b8c\u6210!";  // 客户端保存在： … 下载完成!
      SetWindowTextW(notice, text.c_str());
      ShowWindow(notice, SW_SHOW);
      InvalidateRect(hwnd, nullptr, FALSE);
    }
    wchar_t path[kGamePathUnits];
    int n = _snwprintf(path, kGamePathUnits, L"%ls\\%ls\\Wow.exe", result->baseDir.c_str(), result->folderName.c_str());
    if (n > 0 && n < static_cast<int>(kGamePathUnits)) {
      wcscpy(GamePath, path);
      if (HWND box = Item(hwnd, kIdPathBox)) {
        SetWindowTextW(box, GamePath);
        InvalidateRect(box, nullptr, FALSE);
      }
      SaveGamePath();
      WriteRealmConfig(hwnd, GamePath);
    }
    if (HWND bar = Item(hwnd, kIdProgress)) ShowWindow(bar, SW_HIDE);
    if (MessageBoxA(hwnd, Gbk(u8"是否开始游戏？").c_str(), Gbk(u8"下载完成").c_str(), MB_YESNO | MB_ICONQUESTION) ==
            IDYES &&
        GamePath[0])
      StartGame(GamePath);
  } else {
    ResetProgress(hwnd);
    ShowStandingNotice(hwnd);
    if (!result->cancelled) {
      std::string text = result->errorText.empty() ? Gbk(u8"下载失败，请检查网络。") : result->errorText;
      MessageBoxA(hwnd, text.c_str(), Gbk(u8"错误").c_str(), MB_ICONERROR);
    }
  }
  Enable(hwnd, {kIdClientHd, kIdClientNormal, kIdPatchNormal, kIdPatchHd});
  if (result->buttonId != 0)
    if (HWND b = Item(hwnd, result->buttonId)) SetWindowTextW(b, result->buttonLabel.c_str());
}

void OnClientConnecting(HWND hwnd) {
  if (HWND bar = Item(hwnd, kIdProgress)) {
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    ShowWindow(bar, SW_SHOW);
  }
  HWND notice = Item(hwnd, kIdNotice);
  SetStatusText(hwnd, notice, Gbk(u8"正在连接镜像服务器...").c_str());
  if (notice) ShowWindow(notice, SW_SHOW);
  SetTaskbarProgress(hwnd, 0);
}

void OnNetTimeout(HWND hwnd) {
  std::uint32_t now = GetTickCount();
  if (!TimeoutWarningDue(LastTimeoutWarningTick.load(), now)) return;
  LastTimeoutWarningTick.store(now);
  ShowBox(hwnd, u8"连接服务器超时，请检查网络后重试。", u8"错误", MB_ICONWARNING);
}
