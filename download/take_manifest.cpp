#include "download/take_manifest.h"

#include "app/log.h"
#include "config/settings.h"
#include "download/client_repair.h"
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

bool RepairFollowingManifest(HWND window, const std::string& name, ClientManifest* manifest,
                             const std::wstring& saveFolder, const std::wstring& installDir,
                             const ClientCheckResult& check, ProgressDocument record, std::atomic<bool>* cancel,
                             RepairOutcome* out, std::string* error) {
  *out = RepairOutcome{};
  ClientCheckResult again;
  const ClientCheckResult* current = &check;
  for (;;) {
    RepairOutcome turn;
    bool unserved = false;
    const bool repaired =
        RepairClient(window, *manifest, saveFolder, installDir, *current, record, cancel, &turn, error, &unserved);
    out->repaired += turn.repaired;
    out->fetchedBytes += turn.fetchedBytes;
    out->removed = turn.removed;
    out->stuck = turn.stuck;
    out->unlisted = std::move(turn.unlisted);
    out->placed.insert(out->placed.end(), turn.placed.begin(), turn.placed.end());
    if (repaired) return true;
    if (!unserved || (cancel && cancel->load())) return false;
    // Each turn takes a strictly newer manifest, so this ends.
    ClientManifest newer;
    if (!RereadClientManifest(name, *manifest, &newer)) {
      *error = Gbk(kServerUpdatingText);
      return false;
    }
    // What this turn put in place is the launcher's own: the newer manifest
    // may replace it without keeping a copy, or no longer list it and so
    // remove it, each only while it is still as put there.
    for (const ManifestFile& f : turn.placed) record.files[f.path] = {f.size, f.sha256, f.size, true};
    *manifest = std::move(newer);
    if (!CheckClient(window, *manifest, installDir, record, cancel, &again, error)) return false;
    current = &again;
  }
}
