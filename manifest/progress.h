#pragma once
// The resume state of a client download, one entry per manifest file the job
// has dealt with, kept in <save folder>\.ravelgap\progress\<product>.json
// (ProgressFileStem: one record per client folder).
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

struct ClientManifest;

struct FileProgress {
  std::uint64_t size = 0;
  std::string sha256;
  std::uint64_t downloaded_bytes = 0;
  bool complete = false;
};

struct ProgressState {
  std::string product;
  std::string manifest_id;
  std::string install_root;
  std::wstring install_dir;  // the save folder as the user chose it
  std::unordered_map<std::string, FileProgress> files;
};

// The file's text. Values are written verbatim (a Windows path keeps its
// single backslashes), which is what the shallow reader expects.
std::string FormatProgressText(const ProgressState& state, std::string_view installDirUtf8);

// What a progress file says, read by the shallow rules.
struct ProgressDocument {
  std::string product;
  std::string manifest_id;
  std::string install_dir;  // UTF-8; empty when missing
  std::unordered_map<std::string, FileProgress> files;
};
// False when product or manifest_id is missing. Entries are read up to the
// first one whose delimiters are missing; a later duplicate key wins.
bool ParseProgressText(std::string_view text, ProgressDocument* out);

// The name (without ".json") of the record of the client in the folder
// `clientFolder` (UTF-8, one name) of the save folder: `product` for the
// folder the manifest names, the one a download makes, as every launcher
// wrote it; `product@<folder>` for any other (a copy the player made and
// checks or repairs), so that two copies never share a record.
std::string ProgressFileStem(std::string_view product, std::string_view installRoot, std::string_view clientFolder);

#if defined(_WIN32)
// <save>\.ravelgap\progress\<product>.json, creating the two folders.
std::wstring ProgressFilePath(const std::wstring& saveFolder, const std::string& product);
// Sets the state from the manifest and the save folder, then takes the
// file's entries when it was written for the same product, manifest identity
// and save folder (ignoring case). True when entries were taken.
bool LoadProgress(const std::wstring& path, const ClientManifest& manifest, const std::wstring& saveFolder,
                  ProgressState* state);
// Writes a temporary file beside the old one and moves it over in one step,
// so a reader never sees a half-written file.
bool SaveProgress(const std::wstring& path, const ProgressState& state);
// The same for a text already formatted (FormatProgressText).
bool WriteProgressText(const std::wstring& path, const std::string& text);
#endif
