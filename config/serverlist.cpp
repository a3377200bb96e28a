#include "config/serverlist.h"

#include <utility>
#include <vector>

namespace {

std::vector<ServerEntry> g_servers;

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsTrimmed(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsTrimmed(s.back())) s.remove_suffix(1);
  return s;
}

// Cuts a trimmed entry line at '|'. An empty text after the last '|' is not a
// field; at most five segments are kept, so a description cannot hold '|'.
bool ParseEntryLine(std::string_view line, ServerEntry* out) {
  std::vector<std::string_view> seg;
  size_t start = 0;
  for (;;) {
    size_t bar = line.find('|', start);
    if (bar == std::string_view::npos) {
      seg.push_back(line.substr(start));
      break;
    }
    seg.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  if (!seg.empty() && seg.back().empty()) seg.pop_back();
  if (seg.size() > 5) seg.resize(5);
  if (seg.size() < 4 || seg[0].empty()) return false;
  out->name.assign(seg[0]);
  out->website.assign(seg[1]);
  out->realm.assign(seg[2]);
  out->patch.assign(seg[3]);
  out->description.assign(seg.size() > 4 ? seg[4] : std::string_view());
  return true;
}

// Three realms on the operator's default host, then the [Config] marker; 450
// bytes in all, as the launcher has always shipped it.
constexpr char8_t kDefaultServerList[] =
    u8"星桥·巫妖王之怒|https://www.realmporter.example/register|logon.realmporter.example:3724|logon.realmporter.example:3724|经验五倍，稳定长久\n"
    u8"星桥·燃烧的远征|https://www.realmporter.example/register|tbc.realmporter.example:3724|tbc.realmporter.example:3724|怀旧经典服，2.4.3\n"
    u8"星桥·测试服|https://www.realmporter.example/register|ptr.realmporter.example:3724|ptr.realmporter.example:3724|新内容抢先体验\n"
    u8"[Config]\n";
static_assert(sizeof(kDefaultServerList) - 1 == 450, "the built-in server list is 450 bytes");

}  // namespace

int ParseServerList(std::string_view text) {
  std::vector<ServerEntry> parsed;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t lf = text.find('\n', pos);
    std::string_view raw = text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    std::string_view line = Trim(raw);
    if (!line.empty() && line != "[Config]" && line.find('|') != std::string_view::npos) {
      ServerEntry e;
      if (ParseEntryLine(line, &e)) parsed.push_back(std::move(e));
    }
    if (lf == std::string_view::npos) break;
    pos = lf + 1;
  }
  if (parsed.empty()) return 0;
  g_servers = std::move(parsed);
  return static_cast<int>(g_servers.size());
}

void ClearServerList() { g_servers.clear(); }

int ServerCount() { return static_cast<int>(g_servers.size()); }

const ServerEntry* ServerAt(int index) {
  if (index < 0 || index >= ServerCount()) return nullptr;
  return &g_servers[static_cast<size_t>(index)];
}

bool GetServerEntry(int index, ServerEntry* out) {
  const ServerEntry* e = ServerAt(index);
  if (!e || !out) return false;
  *out = *e;
  return true;
}

std::string_view DefaultServerListText() {
  return std::string_view(reinterpret_cast<const char*>(kDefaultServerList),
                          sizeof(kDefaultServerList) - 1);
}
