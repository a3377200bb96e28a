// Reads the endpoints a launcher was built with out of its executable.
#include "tools/launcher_endpoints.h"

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "tools/manifest_check_mirrors.h"

bool EndpointsOfLauncher(const std::string& exePath, std::vector<std::string>* mirrors, std::string* site,
                         std::string* error) {
  std::string bytes;
  if (!ReadWhole(exePath, &bytes) || bytes.compare(0, 2, "MZ") != 0) {
    *error = "cannot read " + exePath + " as a Windows program";
    return false;
  }
  // The build stores each URL as a narrow string with its terminating NUL;
  // it admits mirror bases ending in /wow335/ and a site ending in '/' (the
  // server list's URL may be kept whole or made from the site at run time).
  static const std::regex mirror(R"(^https?://[^/"\\ ]+/([^"\\ ]*/)?wow335/$)");
  static const std::regex list(R"(^(https?://[^/"\\ ]+/([^"\\ ]*/)?)(serverlist\.txt)?$)");
  std::vector<std::string> found, sites;
  for (size_t i = 0; i + 8 < bytes.size();) {
    const size_t at = bytes.find("http", i);
    if (at == std::string::npos) break;
    const size_t end = bytes.find('\0', at);
    if (end == std::string::npos) break;
    const std::string s = bytes.substr(at, end - at);
    std::smatch m;
    if (s.size() < 300 && std::regex_match(s, mirror) && std::find(found.begin(), found.end(), s) == found.end())
      found.push_back(s);
    if (s.size() < 300 && !std::regex_match(s, mirror) && std::regex_match(s, m, list) &&
        std::find(sites.begin(), sites.end(), m[1]) == sites.end())
      sites.push_back(m[1]);
    i = at + 4;
  }
  // realmporter-fetch.exe carries the mirrors but no site.
  if (found.empty() || found.size() > 3 || sites.size() > 1) {
    *error = exePath + " holds " + std::to_string(found.size()) + " mirror base(s) and " +
             std::to_string(sites.size()) + " site(s), not the launcher's 3 and 1";
    return false;
  }
  *mirrors = found;
  *site = sites.empty() ? std::string() : sites.front();
  return true;
}

bool MirrorListOfFile(const std::string& path, std::vector<std::string>* mirrors, std::string* error) {
  std::string text;
  if (!ReadWhole(path, &text)) {
    *error = "cannot read " + path;
    return false;
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("http://", 0) != 0 && line.rfind("https://", 0) != 0) {
      *error = path + ": not an http(s) URL: " + line;
      return false;
    }
    mirrors->push_back(line.back() == '/' ? line : line + "/");
  }
  if (mirrors->empty()) *error = path + " lists no mirror";
  return !mirrors->empty();
}
