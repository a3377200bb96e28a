#include "manifest/progress.h"

#include <cinttypes>
#include <cstdio>

#include "manifest/json_scan.h"

std::string FormatProgressText(const ProgressState& s, std::string_view installDirUtf8) {
  std::string t;
  t.reserve(256 + s.files.size() * 160);
  t.append("{\n  \"schema_version\": 1,\n");
  t.append("  \"product\": \"").append(s.product).append("\",\n");
  t.append("  \"manifest_id\": \"").append(s.manifest_id).append("\",\n");
  t.append("  \"install_root\": \"").append(s.install_root).append("\",\n");
  t.append("  \"install_dir\": \"").append(installDirUtf8).append("\",\n");
  t.append("  \"updated_at\": \"\",\n  \"files\": {\n");
  bool first = true;
  for (const auto& [key, e] : s.files) {
    if (!first) t.append(",\n");
    first = false;
    char nums[96];
    t.append("    \"").append(key).append("\": {\"size\": ");
    std::snprintf(nums, sizeof nums, "%" PRIu64, e.size);
    t.append(nums).append(", \"sha256\": \"").append(e.sha256).append("\", \"downloaded_bytes\": ");
    std::snprintf(nums, sizeof nums, "%" PRIu64, e.downloaded_bytes);
    t.append(nums).append(", \"complete\": ").append(e.complete ? "true" : "false").append("}");
  }
  t.append("\n  }\n}\n");
  return t;
}

bool ParseProgressText(std::string_view text, ProgressDocument* out) {
  constexpr size_t npos = std::string_view::npos;
  ProgressDocument doc;
  if (!JsonFindString(text, "product", &doc.product) || !JsonFindString(text, "manifest_id", &doc.manifest_id))
    return false;
  JsonFindString(text, "install_dir", &doc.install_dir);
  size_t at = text.size() >= 7 ? text.find("\"files\"") : npos;
  size_t open = at == npos ? npos : text.find('{', at);
  if (open != npos) {
    size_t cursor = open + 1;
    for (;;) {
      size_t q1 = text.find('"', cursor);
      if (q1 == npos) break;
      size_t q2 = text.find('"', q1 + 1);
      if (q2 == npos) break;
      std::string key(text.substr(q1 + 1, q2 - q1 - 1));
      size_t eo = text.find('{', q2);
      if (eo == npos) break;
      size_t ec = text.find('}', eo);
      if (ec == npos) break;
      std::string_view entry = text.substr(eo, ec - eo + 1);
      FileProgress fp;
      JsonFindUInt64(entry, "size", &fp.size);
      JsonFindUInt64(entry, "downloaded_bytes", &fp.downloaded_bytes);
      JsonFindString(entry, "sha256", &fp.sha256);
      std::string complete;
      fp.complete = JsonFindRaw(entry, "complete", &complete) && complete == "true";
      doc.files[key] = std::move(fp);
      cursor = ec + 1;
      size_t nextClose = text.find('}', cursor);
      size_t nextQuote = text.find('"', cursor);
      if (nextClose < nextQuote) break;  // the end of "files"; npos counts as after every offset
      if (nextQuote == npos) break;
    }
  }
  *out = std::move(doc);
  return true;
}

std::string ProgressFileStem(std::string_view product, std::string_view installRoot, std::string_view clientFolder) {
  auto same = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      char x = a[i], y = b[i];
      if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
      if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
      if (x != y) return false;
    }
    return true;
  };
  std::string stem(product);
  if (!clientFolder.empty() && !same(clientFolder, installRoot)) stem.append("@").append(clientFolder);
  return stem;
}
