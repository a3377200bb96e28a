#include "download/take_manifest.h"

#include "app/log.h"
#include "config/settings.h"
#include "download/job.h"
#include "manifest/fetch_manifest_rules.h"
#include "manifest/manifest_choice.h"
#include "manifest/signature_win.h"
#include "net/text.h"

bool FetchClientManifest(const std::string& name, ClientManifest* out, std::string* error) {
  const bool keyed = OperatorKeysBuiltIn();
  const std::wstring valueName = Utf8ToWide(CreatedAtValueName(name));
  const std::string remembered = keyed ? WideToUtf8(ReadSettingText(valueName)) : std::string();
  if (!FetchNewestManifest(name, remembered, out, error)) return false;
  CreatedAt readable;
  if (keyed && out->created_at != remembered && ParseCreatedAt(out->created_at, &readable) &&
      !SaveSettingText(valueName, Utf8ToWide(out->created_at)))
    LogWrite("FetchClientManifest cannot remember created_at for %s", name.c_str());
  return true;
}

bool RereadClientManifest(const std::string& name, const ClientManifest& held, ClientManifest* newer) {
  ClientManifest offered;
  std::string error;
  if (!FetchClientManifest(name, &offered, &error)) return false;
  if (!ContinuesWithManifest(held.manifest_id, held.created_at, offered.manifest_id, offered.created_at)) {
    LogWrite("Manifest read again: no newer one than %s (created %s)", held.manifest_id.c_str(),
             held.created_at.c_str());
    return false;
  }
  LogWrite("Manifest read again: %s (created %s) continues the job", offered.manifest_id.c_str(),
           offered.created_at.c_str());
  *newer = std::move(offered);
  return true;
}

bool DownloadFollowingManifest(HWND window, const std::string& name, ClientManifest* manifest,
                               const std::wstring& saveFolder, std::atomic<bool>* cancel, std::string* error) {
  for (;;) {
    bool unserved = false;
    if (RunClientDownload(window, *manifest, saveFolder, cancel, error, &unserved)) return true;
    if (!unserved || (cancel && cancel->load())) return false;
    // Each turn takes a strictly newer manifest, so this ends.
    ClientManifest newer;
    if (!RereadClientManifest(name, *manifest, &newer)) {
      *error = Gbk(kServerUpdatingText);
      return false;
    }
    *manifest = std::move(newer);
  }
}
