#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/log.h"
#include "install/install.h"
#include "install/transaction.h"
#include "install/zip_reader.h"
#include "manifest/install_paths.h"
#include "net/text.h"

namespace {

struct FileHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~FileHandle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// The archive file as the reader's source: positioned reads on one handle,
// so only the piece being read is in memory.
bool OpenArchive(const std::wstring& path, FileHandle* file, ZipSource* source) {
  file->h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                        nullptr);
  LARGE_INTEGER size;
  if (file->h == INVALID_HANDLE_VALUE || !GetFileSizeEx(file->h, &size)) return false;
  HANDLE h = file->h;
  source->size = static_cast<std::uint64_t>(size.QuadPart);
  source->read = [h](std::uint64_t offset, char* out, size_t n) {
    while (n > 0) {
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n), got = 0;
      if (!ReadFile(h, out, want, &got, &at) || got == 0) return false;
      offset += got;
      out += got;
      n -= got;
    }
    return true;
  };
  return true;
}

// Entry names without the UTF-8 flag come from Chinese Windows tools: GBK.
std::wstring EntryNameToWide(const ZipEntry& e) {
  std::wstring w = e.utf8 ? Utf8ToWide(e.name) : WideFromGbk(e.name);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

// Checks every entry's name before anything is written; `targets` gets each
// entry's local path.
bool CheckNames(const std::vector<ZipEntry>& entries, const std::wstring& destination,
                std::vector<std::wstring>* targets, std::string* why) {
  targets->clear();
  for (const ZipEntry& e : entries) {
    std::wstring local = JoinPath(destination, EntryNameToWide(e));
    if (!IsSafeZipEntryName(e.name) || !IsInsideInstallDir(destination, local)) {
      *why = "entry outside the destination: " + e.name;
      return false;
    }
    targets->push_back(local);
  }
  return true;
}

// One file entry, streamed from the archive into its target. A target that
// did not receive its whole, CRC-checked entry is deleted.
bool WriteEntry(const ZipSource& source, const ZipEntry& e, const std::wstring& target, const std::atomic<bool>* cancel,
                std::string* why) {
  if (!CreateParentDirectories(target)) {
    *why = "cannot create a folder for " + e.name;
    return false;
  }
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  FILE* f = _wfopen(target.c_str(), L"wb");
  if (!f) {
    *why = "cannot write " + e.name;
    return false;
  }
  bool writeFailed = false, cancelled = false;
  bool ok = StreamZipEntry(
      source, e,
      [&](const char* data, size_t n) {
        if (cancel && cancel->load()) {
          cancelled = true;
          return false;
        }
        if (std::fwrite(data, 1, n, f) != n) {
          writeFailed = true;
          return false;
        }
        return true;
      },
      why);
  if (std::fclose(f) != 0) writeFailed = true;
  if (ok && !writeFailed) return true;
  DeleteFileW(target.c_str());
  if (cancelled)
    *why = "cancelled";
  else if (writeFailed)
    *why = "cannot write " + e.name;
  else
    *why += ": " + e.name;
  return false;
}

}  // namespace

bool ExtractZip(const std::wstring& archive, const std::wstring& destination, const std::atomic<bool>* cancel,
                std::string* whyOut) {
  std::string why;
  FileHandle file;
  ZipSource source;
  std::vector<ZipEntry> entries;
  std::vector<std::wstring> targets;
  bool ok = false;
  if (destination.empty() || !OpenArchive(archive, &file, &source)) {
    why = "cannot read the archive";
  } else if (ListZip(source, &entries, &why) && CheckNames(entries, destination, &targets, &why)) {
    ok = !entries.empty();
    if (!ok) why = "the archive is empty";
    // A few megabytes of entries that share their data can claim petabytes:
    // such a pack is refused before it fills the player's disk. (When the
    // free space cannot be read, a full disk still ends the unpacking.)
    const std::uint64_t declared = DeclaredUnpackedSize(entries);
    std::uint64_t freeBytes = 0;
    if (ok && FreeBytesAt(destination, &freeBytes) && declared > freeBytes) {
      why = "not enough room: the entries hold " + std::to_string(declared) + " bytes, " + std::to_string(freeBytes) +
            " free";
      ok = false;
    }
    for (size_t i = 0; ok && i < entries.size(); ++i) {
      TestStopPoint("unpack", static_cast<unsigned>(i));
      if (cancel && cancel->load()) {
        why = "cancelled";
        ok = false;
      } else if (entries[i].directory) {
        ok = CreateParentDirectories(targets[i] + L"\\");
        if (!ok) why = "cannot create a folder for " + entries[i].name;
      } else {
        ok = WriteEntry(source, entries[i], targets[i], cancel, &why);
      }
    }
  }
  if (!ok) LogWrite("ExtractZip failed: %ls: %s", archive.c_str(), why.c_str());
  if (whyOut) *whyOut = why;
  return ok;
}
