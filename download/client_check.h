#pragma once
// What a check of an installed client decides, file by file, from what is
// on disk and the launcher's progress record; which files a new version
// leaves obsolete; and which edition a game folder holds. Pure: the caller
// looks at the disk, these only decide.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "manifest/json_scan.h"
#include "manifest/progress.h"

// What is on disk at a listed file's place. `hashMatches` counts only when
// `hashed`: the file is hashed only when its size is the manifest's.
struct LocalFile {
  bool exists = false;
  std::uint64_t size = 0;
  bool hashed = false;
  bool hashMatches = false;
};

enum class FileState {
  Fine,     // the manifest's size and SHA-256
  Damaged,  // anything else that is there
  Older,    // the version the launcher put there for an earlier manifest
  Partial,  // this version's download, not finished: resumed, not replaced
  Missing,
};

// A listed file that is the player's setting once the client is in use:
// `Data/<locale>/realmlist.wtf`, which the launcher itself rewrites with
// the chosen realm at every start. A check takes it as fine when it is
// there, whatever it holds, so a repair never puts the server's template
// back; it is fetched only where it is missing.
bool IsPlayersSetting(std::string_view manifestPath);
// Should the file be hashed: only a file of the manifest's size can be fine.
bool NeedsHash(const ManifestFile& f, const LocalFile& local);
// `entry` is the progress record's entry for the path (null: none). The
// record tells an earlier version from a partial download: both are files
// of another size, but only a download of this version is recorded with
// this version's SHA-256 and not complete; a version the launcher finished
// is recorded complete with its own SHA-256.
FileState JudgeFile(const ManifestFile& f, const LocalFile& local, const FileProgress* entry);

enum class FetchWay {
  None,    // fine as it is
  Resume,  // a Range request from the end of what is there
  Blocks,  // the mirror's block map, the blocks on disk and ranged requests
  Whole,   // the whole file, into a file beside it
};
// Blocks where the mirror publishes maps (files of kBlockMapMinFileSize or
// more) and there is a local file to take blocks from; a mirror without the
// map answers 404 and the file is then fetched whole.
FetchWay ChooseFetch(FileState state, std::uint64_t localSize, std::uint64_t newSize);

// Files the launcher put there for an earlier manifest (complete entries of
// its progress record, `record`) that the new manifest no longer lists,
// compared as Windows compares paths. A file of the player's has no entry.
// The caller removes one only while it still has the recorded size and
// SHA-256. Unsafe paths are never returned. Sorted.
std::vector<std::string> ObsoleteFiles(const ProgressDocument& record, const std::vector<ManifestFile>& newFiles);

enum class Edition { Neither, Normal, Hd, Unclear };
// `sizeOf(path, &size)`: false when the listed file is not there. An edition
// is a candidate when at least half of its listed files are there; among
// candidates the one with more of its own files (those the other edition
// does not list with the same size and digest) at their listed size wins;
// with as many, the one whose own files are all there (an edition that only
// adds files to the other). No candidate: Neither; no difference: Unclear.
Edition DecideEdition(const std::vector<ManifestFile>& normal, const std::vector<ManifestFile>& hd,
                      const std::function<bool(const std::string&, std::uint64_t*)>& sizeOf);

// The room a repair needs on the client's drive: each new file is made
// beside the old one, which goes only once the new one is in place, so the
// disk grows by what the files grow (a shrinking file frees its room only
// after its rename) plus, at the peak, the new files being made at once:
// the `atOnce` largest (one per mirror). Per file: {listed size, size on
// disk (0: none)} of the files that are not fine.
std::uint64_t RepairRoomNeeded(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& files, unsigned atOnce);

// The counts a check ends with, for its box and the operator's tool.
struct CheckCounts {
  std::uint32_t checked = 0, fine = 0, damaged = 0, older = 0, missing = 0;
  std::uint64_t bytesToFetch = 0;  // upper bound: the listed sizes of what is not fine
};
void CountState(CheckCounts* counts, FileState state, std::uint64_t size);
