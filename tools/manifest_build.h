#pragma once
// The manifest of a client folder (realmporter-manifest build), also made on
// the way by publish.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest/client_manifest.h"

struct BuildOptions {
  std::string product, installRoot, displayName, createdAt, out, dir;
  std::vector<std::string> mirrors, excludes;
  bool anyInstallRoot = false;
  std::string mode = "mirror", urlTemplate = "{mirror}{product}/files/{path}",
              userAgent = "RealmPorter/2.0 (Game Client Launcher)", rangeSupported = "true";
  std::uint64_t perMirror = 1, total = 3;
};

// The build option at argv[*at] into `o`, moving *at past its value: 1 when
// taken, 0 when it is no build option, -1 when its value is missing or wrong.
int TakeBuildOption(int argc, char** argv, int* at, BuildOptions* o);
// The document for o.dir (created_at now when o.createdAt is empty) and its
// files in document order; empty when made, else why not. Warnings go to
// standard error.
std::string MakeManifest(BuildOptions& o, std::string* document, std::vector<ManifestFile>* files);

bool Sha256OfFile(const std::filesystem::path& path, std::string* hex);
// Now, UTC, as build writes created_at.
std::string NowUtc();
