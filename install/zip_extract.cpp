#include <windows.h>
#include <shldisp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/com_out.h"
#include "install/install.h"
#include "install/zip_reader.h"
#include "manifest/install_paths.h"
#include "net/text.h"

namespace {

constexpr std::uint64_t kMaxArchiveBytes = 1ull << 30;

bool ReadWholeFile(const std::wstring& path, std::string* out) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  out->clear();
  char buf[65536];
  size_t n;
  bool ok = true;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (out->size() + n > kMaxArchiveBytes) {
      ok = false;
      break;
    }
    out->append(buf, n);
  }
  std::fclose(f);
  return ok;
}

// Entry names without the UTF-8 flag come from Chinese Windows tools: GBK.
std::wstring EntryNameToWide(const ZipEntry& e) {
  std::wstring w = e.utf8 ? Utf8ToWide(e.name) : WideFromGbk(e.name);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

bool TopLevelItemsExist(const std::wstring& destination, const std::vector<ZipEntry>& entries) {
  for (const std::string& top : ZipTopLevelItems(entries)) {
    ZipEntry probe;
    probe.name = top;
    probe.utf8 = false;
    for (const ZipEntry& e : entries)
      if (e.name.compare(0, top.size(), top) == 0) {
        probe.utf8 = e.utf8;
        break;
      }
    if (GetFileAttributesW((destination + L"\\" + EntryNameToWide(probe)).c_str()) == INVALID_FILE_ATTRIBUTES)
      return false;
  }
  return true;
}

// Through the shell's zip folders; false when the shell cannot open the
// archive as a folder (Wine has no zip folders; Windows may have them off).
enum class ShellResult { Done, Failed, Unavailable };

ShellResult ExtractThroughShell(const std::wstring& archive, const std::wstring& destination,
                                const std::vector<ZipEntry>& entries, const std::atomic<bool>* cancel) {
  IShellDispatch* shell = ComOut<IShellDispatch>([](IShellDispatch** out) {
    return CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_INPROC_SERVER, IID_IShellDispatch,
                            reinterpret_cast<void**>(out));
  });
  if (!shell) return ShellResult::Unavailable;
  ShellResult result = ShellResult::Unavailable;
  Folder* target = nullptr;
  Folder* source = nullptr;
  FolderItems* items = nullptr;
  VARIANT vTarget, vSource;
  VariantInit(&vTarget);
  VariantInit(&vSource);
  vTarget.vt = VT_BSTR;
  vTarget.bstrVal = SysAllocString(destination.c_str());
  vSource.vt = VT_BSTR;
  vSource.bstrVal = SysAllocString(archive.c_str());
  long count = 0;
  target = ComOut<Folder>([&](Folder** out) { return shell->NameSpace(vTarget, out); });
  if (target) source = ComOut<Folder>([&](Folder** out) { return shell->NameSpace(vSource, out); });
  if (source) items = ComOut<FolderItems>([&](FolderItems** out) { return source->Items(out); });
  if (items && SUCCEEDED(items->get_Count(&count)) && count > 0) {
    result = ShellResult::Failed;
    VARIANT vItems, vOptions;
    VariantInit(&vItems);
    VariantInit(&vOptions);
    vItems.vt = VT_DISPATCH;
    vItems.pdispVal = items;
    items->AddRef();
    vOptions.vt = VT_I4;
    vOptions.lVal = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
    if (SUCCEEDED(target->CopyHere(vItems, vOptions))) {
      // The copy runs on after CopyHere returns. It is done when every
      // top-level item of the archive exists; counting items would never
      // finish for an archive whose folders already exist (WTF, say).
      for (int i = 0; i < 600; ++i) {
        if (TopLevelItemsExist(destination, entries)) {
          result = ShellResult::Done;
          break;
        }
        if (cancel && cancel->load()) break;
        Sleep(100);
      }
    }
    VariantClear(&vItems);
  }
  VariantClear(&vTarget);
  VariantClear(&vSource);
  if (items) items->Release();
  if (source) source->Release();
  if (target) target->Release();
  shell->Release();
  return result;
}

}  // namespace

namespace {

// Reads and lists the archive and checks every entry's name before anything
// is written; `targets` gets each entry's local path.
bool OpenChecked(const std::wstring& archive, const std::wstring& destination, std::string* data,
                 std::vector<ZipEntry>* entries, std::vector<std::wstring>* targets, std::string* why) {
  if (!ReadWholeFile(archive, data)) {
    *why = "cannot read the archive";
    return false;
  }
  if (!ListZip(*data, entries, why)) return false;
  targets->clear();
  for (const ZipEntry& e : *entries) {
    std::wstring local = JoinPath(destination, EntryNameToWide(e));
    if (!IsSafeZipEntryName(e.name) || !IsInsideInstallDir(destination, local)) {
      *why = "entry outside the destination: " + e.name;
      return false;
    }
    targets->push_back(local);
  }
  return true;
}

bool WriteEntries(const std::string& data, const std::vector<ZipEntry>& entries,
                  const std::vector<std::wstring>& targets, std::string* why) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const ZipEntry& e = entries[i];
    if (e.directory) {
      if (!CreateParentDirectories(targets[i] + L"\\")) {
        *why = "cannot create a folder for " + e.name;
        return false;
      }
      continue;
    }
    std::string bytes;
    if (!ReadZipEntry(data, e, &bytes, why, kMaxArchiveBytes)) {
      *why += ": " + e.name;
      return false;
    }
    if (!CreateParentDirectories(targets[i])) {
      *why = "cannot create a folder for " + e.name;
      return false;
    }
    SetFileAttributesW(targets[i].c_str(), FILE_ATTRIBUTE_NORMAL);
    FILE* f = _wfopen(targets[i].c_str(), L"wb");
    if (!f) {
      *why = "cannot write " + e.name;
      return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
      *why = "cannot write " + e.name;
      return false;
    }
  }
  return true;
}

}  // namespace

bool ExtractZipOwn(const std::wstring& archive, const std::wstring& destination, std::string* why) {
  std::string data;
  std::vector<ZipEntry> entries;
  std::vector<std::wstring> targets;
  return OpenChecked(archive, destination, &data, &entries, &targets, why) &&
         WriteEntries(data, entries, targets, why);
}

bool ExtractZipWithShell(const std::wstring& archive, const std::wstring& destination,
                         const std::atomic<bool>* cancel) {
  if (archive.empty() || destination.empty() || GetFileAttributesW(archive.c_str()) == INVALID_FILE_ATTRIBUTES)
    return false;
  std::string data, why;
  std::vector<ZipEntry> entries;
  std::vector<std::wstring> targets;
  // The archive is read and checked first either way: the shell would write
  // an entry named "..\x" outside the game folder without asking.
  if (!OpenChecked(archive, destination, &data, &entries, &targets, &why) || entries.empty()) return false;
  switch (ExtractThroughShell(archive, destination, entries, cancel)) {
    case ShellResult::Done: return true;
    case ShellResult::Failed: return false;
    case ShellResult::Unavailable: break;
  }
  return WriteEntries(data, entries, targets, &why);
}
