#include "install/journal.h"

namespace {

constexpr std::wstring_view kHeader = L"RealmPorter journal 2";
// What a launcher before the folder and keep records wrote: read the same way.
constexpr std::wstring_view kHeaderV1 = L"RealmPorter journal 1";

std::wstring_view StateName(JournalState s) {
  switch (s) {
    case JournalState::Staging: return L"staging";
    case JournalState::Commit: return L"commit";
    case JournalState::Done: return L"done";
  }
  return L"";
}

// Splits a line at tabs; Windows paths hold no tab or line feed.
std::vector<std::wstring_view> Fields(std::wstring_view line) {
  std::vector<std::wstring_view> out;
  for (;;) {
    size_t tab = line.find(L'\t');
    out.push_back(line.substr(0, tab));
    if (tab == std::wstring_view::npos) return out;
    line.remove_prefix(tab + 1);
  }
}

bool IsAsciiCaseEqual(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'a' && x <= L'z') x = static_cast<wchar_t>(x - 32);
    if (y >= L'a' && y <= L'z') y = static_cast<wchar_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::wstring FormatJournal(const Journal& j) {
  std::wstring t(kHeader);
  t += L"\nstate\t";
  t += StateName(j.state);
  t += L"\n";
  if (!j.folder.empty()) t += L"folder\t" + j.folder + L"\t" + j.folderId + L"\n";
  for (const std::wstring& r : j.remove) t += L"remove\t" + r + L"\n";
  for (const JournalStep& s : j.steps)
    t += std::wstring(L"step\t") + (s.hadOld ? L"1" : L"0") + L"\t" + s.from + L"\t" + s.to + L"\t" + s.aside + L"\n";
  for (const JournalKeep& k : j.keep) t += L"keep\t" + k.from + L"\t" + k.to + L"\n";
  return t + L"end\n";
}

bool ParseJournal(std::wstring_view text, Journal* out) {
  Journal j;
  bool header = false, state = false, v1 = false;
  while (!text.empty()) {
    size_t nl = text.find(L'\n');
    if (nl == std::wstring_view::npos) return false;  // every line, "end" too, ends in a line feed
    std::wstring_view line = text.substr(0, nl);
    text.remove_prefix(nl + 1);
    if (!header) {
      if (line != kHeader && line != kHeaderV1) return false;
      v1 = line == kHeaderV1;
      header = true;
      continue;
    }
    std::vector<std::wstring_view> f = Fields(line);
    if (f[0] == L"end" && f.size() == 1) {
      if (!state || !text.empty()) return false;
      *out = std::move(j);
      return true;
    }
    if (f[0] == L"state" && f.size() == 2) {
      if (f[1] == L"staging")
        j.state = JournalState::Staging;
      else if (f[1] == L"commit")
        j.state = JournalState::Commit;
      else if (f[1] == L"done")
        j.state = JournalState::Done;
      else
        return false;
      state = true;
    } else if (f[0] == L"folder" && f.size() == 3 && !v1 && j.folder.empty() && !f[1].empty()) {
      j.folder = f[1];
      j.folderId = f[2];
    } else if (f[0] == L"keep" && f.size() == 3 && !v1 && !f[1].empty() && !f[2].empty()) {
      j.keep.push_back({std::wstring(f[1]), std::wstring(f[2])});
    } else if (f[0] == L"remove" && f.size() == 2 && !f[1].empty()) {
      j.remove.emplace_back(f[1]);
    } else if (f[0] == L"step" && f.size() == 5 && (f[1] == L"0" || f[1] == L"1") && !f[2].empty() && !f[3].empty() &&
               (f[1] == L"0" || !f[4].empty())) {
      j.steps.push_back({f[1] == L"1", std::wstring(f[2]), std::wstring(f[3]), std::wstring(f[4])});
    } else {
      return false;
    }
  }
  return false;
}

// A step goes forward in two moves: the player's item to `aside` (only when
// there was one), then the new item from `from` to `to`; its undo is the
// same moves backwards, and after a rollback the leftovers (the staging
// folder that held `from`, the aside folder) are removed. Each decision is
// made from what the disk shows, whichever of these moves a stop came after:
// with an old item, `to` holds the new one only while the old one is aside,
// so `to` without `aside` is the player's item, put back by an earlier run
// or never moved. Nothing of the player's is ever moved into `from`.
StepUndo UndoStep(const JournalStep& s, bool fromExists, bool toExists, bool asideExists) {
  StepUndo u;
  if (!s.hadOld) {
    u.takeNewBack = !fromExists && toExists;
    return u;
  }
  u.takeNewBack = !fromExists && toExists && asideExists;
  u.putOldBack = asideExists && (!toExists || u.takeNewBack);
  return u;
}

std::wstring JournalFolder(const Journal& j) {
  if (!j.folder.empty()) return j.folder;
  const std::wstring& first = !j.remove.empty() ? j.remove.front() : !j.steps.empty() ? j.steps.front().to : L"";
  const size_t slash = first.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : first.substr(0, slash);
}

Journal RebaseJournal(const Journal& j, std::wstring_view oldFolder, std::wstring_view newFolder) {
  auto move = [&](std::wstring* p) {
    if (p->size() < oldFolder.size() || !IsAsciiCaseEqual(std::wstring_view(*p).substr(0, oldFolder.size()), oldFolder))
      return;
    if (p->size() > oldFolder.size() && (*p)[oldFolder.size()] != L'\\') return;
    *p = std::wstring(newFolder) + p->substr(oldFolder.size());
  };
  Journal out = j;
  move(&out.folder);
  for (std::wstring& r : out.remove) move(&r);
  for (JournalStep& s : out.steps) move(&s.from), move(&s.to), move(&s.aside);
  for (JournalKeep& k : out.keep) move(&k.from), move(&k.to);
  return out;
}

bool CarryLeftovers(const Journal& done, Journal* next) {
  if (done.state == JournalState::Commit) return false;
  if (!done.folder.empty() && !next->folder.empty() && !IsAsciiCaseEqual(done.folder, next->folder)) return false;
  for (const std::wstring& r : done.remove) {
    bool listed = false;
    for (const std::wstring& n : next->remove) listed = listed || IsAsciiCaseEqual(n, r);
    if (!listed) next->remove.push_back(r);
  }
  // A copy the player keeps is made before the folder that holds it goes.
  next->keep.insert(next->keep.begin(), done.keep.begin(), done.keep.end());
  return true;
}

Recovery RecoveryFor(JournalState state) {
  switch (state) {
    case JournalState::Staging: return Recovery::Discard;
    case JournalState::Commit: return Recovery::RollBack;
    case JournalState::Done: return Recovery::Finish;
  }
  return Recovery::RollBack;
}

std::wstring MakingName(std::wstring_view file) { return std::wstring(file) + L".RealmPorter-new"; }
std::wstring SetAsideName(std::wstring_view file) { return std::wstring(file) + L".RealmPorter-old"; }

LayAction DecideLay(bool topLevel, std::wstring_view name, bool packIsDir, bool playerHas, bool playerIsDir) {
  if (!playerHas) return LayAction::Add;
  if (topLevel && IsAsciiCaseEqual(name, L"Interface")) return LayAction::Replace;
  if (packIsDir && playerIsDir) return LayAction::Descend;
  return LayAction::Replace;
}
