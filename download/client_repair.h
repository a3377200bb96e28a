#pragma once
// Bringing a checked client to its manifest's version: the files that are
// not fine go through the mirror engine as a download's do, several at once
// across the mirrors. Each is made beside the old one (from the blocks on
// disk and ranged requests where the worker's mirror has the file's block
// map, otherwise downloaded whole, resuming on the next mirror what one
// broke off), verified, and put in place by rename under a journal of its
// own, so that a stop leaves every file old or new. Files the launcher put
// there for an earlier manifest that the new one no longer lists are
// removed; a file of the player's never is.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "download/client_verify.h"

struct RepairOutcome {
  std::uint32_t repaired = 0, removed = 0;
  std::uint64_t fetchedBytes = 0;  // on the wire: maps, ranges and whole files
  std::wstring stuck;              // a file that could not be replaced
  // Without a record of the launcher's: archives in Data the manifest does
  // not list, kept, for the closing line (manifest-style paths, UTF-8).
  std::vector<std::string> unlisted;
  // The files put in place, each now as its manifest lists it.
  std::vector<ManifestFile> placed;
};

// True when the save folder holds a client of an earlier manifest of the
// product, as its progress record tells; without a record, when any file
// the manifest lists is there (a download would overwrite it in place).
bool HoldsOlderClient(const ClientManifest& manifest, const std::wstring& saveFolder);
// The client download into such a folder: the client is checked and
// repaired instead of downloaded whole, following the manifests
// (RepairFollowingManifest) of the name `name`.
bool UpdateOlderClient(HWND window, const std::string& name, ClientManifest* manifest, const std::wstring& saveFolder,
                       std::atomic<bool>* cancel, RepairOutcome* out, std::string* error);

// `saveFolder` holds the progress record, which is rewritten for the
// manifest when every file is fine. False when a file could not be
// repaired or the job was cancelled; `error` then gets a GBK text.
// Given `unserved`, a file that no mirror serves as the manifest says ends
// the repair and sets it (DownloadJob::stopWhenUnserved); the files already
// put in place stay.
bool RepairClient(HWND window, const ClientManifest& manifest, const std::wstring& saveFolder,
                  const std::wstring& installDir, const ClientCheckResult& check, const ProgressDocument& record,
                  std::atomic<bool>* cancel, RepairOutcome* out, std::string* error, bool* unserved = nullptr);
