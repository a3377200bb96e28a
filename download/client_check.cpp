#include "download/client_check.h"

#include <algorithm>
#include <functional>
#include <set>
#include <tuple>

#include "manifest/blockmap.h"
#include "manifest/install_paths.h"
#include "hash/sha256.h"

bool IsPlayersSetting(std::string_view path) {
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  };
  const std::string p = lower(path);
  if (p.rfind("data/", 0) != 0) return false;
  const size_t slash = p.find('/', 5);
  return slash != std::string::npos && slash > 5 && p.substr(slash + 1) == "realmlist.wtf";
}

bool NeedsHash(const ManifestFile& f, const LocalFile& local) {
  return local.exists && local.size == f.size && !IsPlayersSetting(f.path);
}

FileState JudgeFile(const ManifestFile& f, const LocalFile& local, const FileProgress* entry) {
  if (!local.exists) return FileState::Missing;
  if (IsPlayersSetting(f.path)) return FileState::Fine;
  if (local.size == f.size && local.hashed && local.hashMatches) return FileState::Fine;
  if (entry) {
    const bool thisVersion = DigestEquals(entry->sha256, f.sha256);
    if (thisVersion && !entry->complete && local.size < f.size) return FileState::Partial;
    // The launcher finished another version here, and the file still has that
    // version's size: the player or the disk has not changed it since.
    if (!thisVersion && entry->complete && local.size == entry->size) return FileState::Older;
  }
  return FileState::Damaged;
}

FetchWay ChooseFetch(FileState state, std::uint64_t localSize, std::uint64_t newSize) {
  switch (state) {
    case FileState::Fine: return FetchWay::None;
    case FileState::Partial: return FetchWay::Resume;
    case FileState::Missing: return FetchWay::Whole;
    case FileState::Damaged:
    case FileState::Older: break;
  }
  return localSize > 0 && newSize >= kBlockMapMinFileSize ? FetchWay::Blocks : FetchWay::Whole;
}

std::vector<std::string> ObsoleteFiles(const ProgressDocument& record, const std::vector<ManifestFile>& newFiles) {
  std::set<std::string> listed;
  for (const ManifestFile& f : newFiles) listed.insert(LocalPathKey(f.path));
  std::vector<std::string> out;
  for (const auto& [path, entry] : record.files) {
    if (!entry.complete || !IsSafeManifestPath(path)) continue;
    if (listed.count(LocalPathKey(path)) == 0) out.push_back(path);
  }
  std::sort(out.begin(), out.end());
  return out;
}

namespace {

using FileKey = std::tuple<std::string, std::uint64_t, std::string>;

FileKey KeyOf(const ManifestFile& f) {
  std::string digest = f.sha256;
  std::transform(digest.begin(), digest.end(), digest.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return {LocalPathKey(f.path), f.size, digest};
}

struct EditionScore {
  bool candidate = false;
  std::size_t own = 0;     // its own files there at their listed size
  std::size_t listed = 0;  // its own files
};

EditionScore Score(const std::vector<ManifestFile>& files, const std::set<FileKey>& other,
                   const std::function<bool(const std::string&, std::uint64_t*)>& sizeOf) {
  EditionScore s;
  std::size_t present = 0;
  for (const ManifestFile& f : files) {
    std::uint64_t size = 0;
    if (!sizeOf(f.path, &size)) continue;
    ++present;
    if (size == f.size && other.count(KeyOf(f)) == 0) ++s.own;
  }
  for (const ManifestFile& f : files) s.listed += other.count(KeyOf(f)) == 0;
  s.candidate = !files.empty() && present * 2 >= files.size();
  return s;
}

}  // namespace

Edition DecideEdition(const std::vector<ManifestFile>& normal, const std::vector<ManifestFile>& hd,
                      const std::function<bool(const std::string&, std::uint64_t*)>& sizeOf) {
  std::set<FileKey> normalKeys, hdKeys;
  for (const ManifestFile& f : normal) normalKeys.insert(KeyOf(f));
  for (const ManifestFile& f : hd) hdKeys.insert(KeyOf(f));
  const EditionScore n = Score(normal, hdKeys, sizeOf), h = Score(hd, normalKeys, sizeOf);
  if (!n.candidate && !h.candidate) return Edition::Neither;
  if (n.candidate && !h.candidate) return Edition::Normal;
  if (h.candidate && !n.candidate) return Edition::Hd;
  if (n.own != h.own) return n.own > h.own ? Edition::Normal : Edition::Hd;
  // An edition that only adds files to the other: the one whose own files
  // are all there.
  const bool nAll = n.own == n.listed, hAll = h.own == h.listed;
  if (nAll == hAll) return Edition::Unclear;
  return nAll ? Edition::Normal : Edition::Hd;
}

std::uint64_t RepairRoomNeeded(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& files, unsigned atOnce) {
  std::uint64_t growth = 0;
  std::vector<std::uint64_t> sizes;
  sizes.reserve(files.size());
  for (const auto& [size, onDisk] : files) {
    if (size > onDisk) growth += size - onDisk;
    sizes.push_back(size);
  }
  const std::size_t made = std::min<std::size_t>(std::max(atOnce, 1u), sizes.size());
  std::partial_sort(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(made), sizes.end(),
                    std::greater<std::uint64_t>());
  std::uint64_t peak = 0;
  for (std::size_t i = 0; i < made; ++i) peak += sizes[i];
  return growth + peak;
}

void CountState(CheckCounts* c, FileState state, std::uint64_t size) {
  ++c->checked;
  switch (state) {
    case FileState::Fine: ++c->fine; return;
    case FileState::Damaged: ++c->damaged; break;
    case FileState::Older: ++c->older; break;
    case FileState::Partial:
    case FileState::Missing: ++c->missing; break;
  }
  c->bytesToFetch += size;
}
