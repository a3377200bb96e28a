#include "ui/commands.h"

#include <shellapi.h>

#include "app/log.h"
#include "config/serverlist.h"
#include "config/settings.h"
#include "game/game.h"
#include "net/text.h"
#include "net/url.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"
#include "ui/layout_win.h"
#include "ui/window_services.h"

namespace {

void OnServerSelectionChange(HWND hwnd) {
  HWND list = GetDlgItem(hwnd, kIdServerList);
  HWND description = GetDlgItem(hwnd, kIdServerDescription);
  int index = list ? static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0)) : -1;
  FitServerNames(hwnd);
  const ServerEntry* e = ServerAt(index);
  if (e && !e->description.empty())
    SetStatusTextUtf8(hwnd, description, e->description.c_str());
  else
    SetStatusText(hwnd, description, Gbk(u8"请选择服务器").c_str());
  FitServerDescription(hwnd);
  if (description) {
    RECT r;
    GetWindowRect(description, &r);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
    InvalidateRect(hwnd, &r, TRUE);
    UpdateWindow(hwnd);
  }
}

void OnRegister(HWND hwnd) {
  const ServerEntry* e = SelectedServer(hwnd);
  if (!e) return;
  // The shell's "open" starts a program as readily as it shows a page: a
  // website of \\host\share\x.exe or C:\...\x.exe in the server list would run it.
  if (!IsWebAddress(e->website)) {
    LogWrite("OnRegister not a web address: %s", e->website.c_str());
    return;
  }
  HINSTANCE opened = ShellExecuteW(nullptr, L"open", Utf8ToWide(e->website).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  if (reinterpret_cast<INT_PTR>(opened) > 32) return;
  // No browser took the page: the address, for the player to copy (Ctrl+C).
  LogWrite("OnRegister no browser (%d): %s", static_cast<int>(reinterpret_cast<INT_PTR>(opened)), e->website.c_str());
  ShowGbkBox(hwnd,
             Gbk(u8"无法打开浏览器。请在浏览器中打开下面的地址（按 Ctrl+C 复制）：\n\n") + GbkFromUtf8(e->website),
             Gbk(u8"注册账号"), MB_ICONINFORMATION);
}

}  // namespace

const ServerEntry* SelectedServer(HWND hwnd) {
  HWND list = GetDlgItem(hwnd, kIdServerList);
  return ServerAt(list ? static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0)) : 0);
}

void ShowGamePath(HWND hwnd, const wchar_t* path) {
  if (!SetGamePath(path)) return;
  if (HWND box = GetDlgItem(hwnd, kIdPathBox)) {
    SetWindowTextW(box, GamePath);
    InvalidateRect(box, nullptr, FALSE);
  }
}

void BrowseGamePath(HWND hwnd) {
  std::wstring chosen;
  if (AskForGameExe(hwnd, &chosen)) ShowGamePath(hwnd, chosen.c_str());
}

void OnStartGameCommand(HWND hwnd) {
  if (GamePath[0] == L'\0') return ShowBox(hwnd, u8"请先选择游戏路径！", u8"提示", MB_OK);
  std::wstring path = GamePath;
  // The game moved or deleted since it was chosen: the shell would fail
  // without a word.
  const DWORD attr = GetFileAttributesW(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) {
    LogWrite("StartGame: game not found: %ls", path.c_str());
    ShowGbkBox(hwnd,
               Gbk(u8"找不到游戏程序：") + GbkFromWide(path) +
                   Gbk(u8"\n\n它可能已被移动或删除。请点击“浏览游戏...”重新选择 Wow.exe，"
                       u8"或点击“校验客户端”检查并修复客户端。"),
               Gbk(u8"错误"), MB_ICONERROR);
    return;
  }
  WriteRealmConfig(SelectedServer(hwnd), path);
  StartGame(path);
}

LRESULT OnMainCommand(HWND hwnd, int id, int notification) {
  switch (id) {
    case kIdServerList:
      if (notification == CBN_SELCHANGE) OnServerSelectionChange(hwnd);
      return 0;
    case kIdBrowse: BrowseGamePath(hwnd); return 0;
    case kIdStartGame: OnStartGameCommand(hwnd); return 0;
    case kIdRegister: OnRegister(hwnd); return 0;
    case kIdClose: PostMessageW(hwnd, WM_CLOSE, 0, 0); return 0;
    case kIdMinimize: ShowWindow(hwnd, SW_MINIMIZE); return 0;
    case kIdPatchNormal: OnPatchCommand(hwnd, PatchKind::Normal); return 0;
    case kIdPatchHd: OnPatchCommand(hwnd, PatchKind::Hd); return 0;
    case kIdClientNormal: OnClientCommand(hwnd, ClientKind::Normal); return 0;
    case kIdClientHd: OnClientCommand(hwnd, ClientKind::Hd); return 0;
    case kIdAddonA: OnAddonCommand(hwnd, AddonPack::A); return 0;
    case kIdAddonB: OnAddonCommand(hwnd, AddonPack::B); return 0;
    case kIdVerify: OnVerifyCommand(hwnd); return 0;
    default: return 0;
  }
}
