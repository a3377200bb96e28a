#pragma once
// The manifest a job takes, and what a job does when the mirrors no longer
// serve the one it holds.
#include <windows.h>

#include <atomic>
#include <string>

#include "manifest/client_manifest.h"
#include "manifest/fetch_manifest.h"
#include "manifest/progress.h"

struct ClientCheckResult;
struct RepairOutcome;

// The newest manifest `name` the built-in mirrors offer (FetchNewestManifest).
// A keyed launcher never takes one created before the newest it has taken
// for `name`, and remembers the taken one's created_at in the settings.
bool FetchClientManifest(const std::string& name, ClientManifest* out, std::string* error);

// Reads manifest `name` again for a job that holds `held`: true, with the
// new one in `newer`, when the mirrors now offer a newer one
// (ContinuesWithManifest).
bool RereadClientManifest(const std::string& name, const ClientManifest& held, ClientManifest* newer);

// Downloads the client of `*manifest` (RunClientDownload). A file that no
// mirror serves as the manifest says makes the job read the manifests once
// more: a newer one continues the job in `*manifest` (the files already
// right are kept), otherwise the job stops with kServerUpdatingText.
bool DownloadFollowingManifest(HWND window, const std::string& name, ClientManifest* manifest,
                               const std::wstring& saveFolder, std::atomic<bool>* cancel, std::string* error);

// Repairs the client in `installDir` from its `check` against `*manifest`
// (RepairClient), following the manifests as a download does: a file that
// no mirror serves as the manifest says makes the repair read them once
// more. A newer one continues it in `*manifest`: the client is checked
// again against it (the files already put in place count as the
// launcher's, as the manifest before listed them) and what differs is
// repaired. Otherwise the repair stops with kServerUpdatingText. `out`
// counts every turn.
bool RepairFollowingManifest(HWND window, const std::string& name, ClientManifest* manifest,
                             const std::wstring& saveFolder, const std::wstring& installDir,
                             const ClientCheckResult& check, ProgressDocument record, std::atomic<bool>* cancel,
                             RepairOutcome* out, std::string* error);
