// The check button: checking the game path's client against its edition's
// manifest, and the box that tells the player what it found.
#include <cstdio>
#include <memory>

#include "app/jobs.h"
#include "config/settings.h"
#include "download/client_verify.h"
#include "download/take_manifest.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "net/text.h"
#include "ui/commands.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"
#include "ui/window_services.h"

namespace {

// What the check found and, after a repair, what it fetched; GBK.
std::string ResultText(const ClientVerifyResult& r) {
  const std::string edition = Gbk(r.edition == 2 ? u8"高清客户端" : u8"怀旧客户端");
  char text[512];
  if (r.damaged + r.older + r.missing == 0 && !r.repair) {
    std::snprintf(text, sizeof text, Gbk(u8"%s完好：已检查 %u 个文件，全部与服务器一致。").c_str(), edition.c_str(),
                  r.checked);
    return text;
  }
  std::snprintf(text, sizeof text, Gbk(u8"%s已检查 %u 个文件：损坏 %u 个，缺失 %u 个，旧版本 %u 个。").c_str(),
                edition.c_str(), r.checked, r.damaged, r.missing, r.older);
  std::string out = text;
  if (r.repair) {
    std::snprintf(text, sizeof text, Gbk(u8"\n\n已修复 %u 个文件，移除过期文件 %u 个，共下载 %.1f MB。").c_str(),
                  r.repaired, r.removed, r.fetchedBytes / 1048576.0);
    return out + text;
  }
  std::snprintf(text, sizeof text,
                Gbk(u8"\n\n是否立即修复？启动器只下载不同的部分（最多约 %.1f MB），"
                    u8"游戏设置、插件和截图不受影响。")
                    .c_str(),
                r.bytesToFetch / 1048576.0);
  return out + text;
}

void StartCheck(HWND hwnd, bool repair) {
  VerifyJob job;
  job.window = hwnd;
  job.gameFolder = GameFolderOf(GamePath);
  job.repair = repair;
  ClaimJob(hwnd, JobKind::Client, kIdVerify);
  if (!TrySpawnDetached(ClientVerifyThread, std::move(job)))
    ReportJobNotStarted(hwnd, JobKind::Client, u8"系统繁忙，无法启动校验线程，请稍后重试。");
}

}  // namespace

void OnVerifyCommand(HWND hwnd) {
  if (JobRunning(JobKind::Client)) {
    if (JobButton(JobKind::Client) == kIdVerify && ConfirmCancel(hwnd, u8"确定取消校验吗？", u8"取消校验"))
      CancelJob(hwnd, JobKind::Client, u8"正在取消校验...");
    return;
  }
  if (GamePath[0] == L'\0') return ShowBox(hwnd, u8"请先选择游戏路径！", u8"提示", MB_OK);
  if (IsGameRunning()) return ShowBox(hwnd, u8"请先关闭正在运行的游戏再校验客户端！", u8"提示", MB_ICONWARNING);
  StartCheck(hwnd, false);
}

bool RefusedForOtherEdition(HWND hwnd, PatchKind kind, const ClientManifest& own, const std::wstring& gameFolder) {
  ClientManifest other;
  std::string error;
  if (!FetchClientManifest(kind == PatchKind::Hd ? "wow335-normal" : "wow335-hd", &other, &error)) return false;
  const Edition edition =
      kind == PatchKind::Hd ? EditionOfFolder(gameFolder, other, own) : EditionOfFolder(gameFolder, own, other);
  if (kind == PatchKind::Hd && edition == Edition::Normal) {
    ShowBox(hwnd,
            u8"游戏目录中是怀旧客户端，不能安装高清补丁：两者混用会使游戏无法运行。\n\n"
            u8"请点击“下载怀旧补丁”；要用高清版，请先下载高清客户端。",
            u8"提示", MB_ICONWARNING);
    return true;
  }
  if (kind == PatchKind::Normal && edition == Edition::Hd) {
    ShowBox(hwnd,
            u8"游戏目录中是高清客户端，不能安装怀旧补丁：两者混用会使游戏无法运行。\n\n"
            u8"请点击“下载高清补丁”；要用怀旧版，请先下载怀旧客户端。",
            u8"提示", MB_ICONWARNING);
    return true;
  }
  return false;
}

void OnVerifyDone(HWND hwnd, ClientVerifyResult* raw) {
  if (!raw) return;
  std::unique_ptr<ClientVerifyResult> result(raw);
  SetTaskbarProgressNone(hwnd);
  if (!result->cancelled) DrawAttention(hwnd, result->succeeded);
  ResetProgress(hwnd);
  ReleaseJob(hwnd, JobKind::Client);
  // A cancelled check or repair leaves the worker's last line: what it changed.
  if (result->cancelled) return;
  ShowStandingNotice(hwnd);
  if (!result->succeeded) {
    const std::string text = result->errorText.empty() ? Gbk(u8"校验失败，请检查网络。") : result->errorText;
    ShowGbkBox(hwnd, text, Gbk(u8"校验客户端"), MB_ICONWARNING);
    return;
  }
  const bool whole = result->damaged + result->older + result->missing == 0;
  if (whole || result->repair) {
    ShowGbkBox(hwnd, ResultText(*result), Gbk(u8"校验客户端"), MB_ICONINFORMATION);
    return;
  }
  if (ShowGbkBox(hwnd, ResultText(*result), Gbk(u8"校验客户端"), MB_YESNO | MB_ICONWARNING) != IDYES) return;
  if (GamePath[0] != L'\0' && !JobRunning(JobKind::Client) && !JobRunning(JobKind::PatchNormal) &&
      !JobRunning(JobKind::PatchHd) && !IsGameRunning())
    StartCheck(hwnd, true);
}
