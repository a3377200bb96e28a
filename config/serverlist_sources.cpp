#include "config/serverlist_sources.h"

#include <windows.h>
#include <wininet.h>

#include <vector>

#include "app/log.h"
#include "config/serverlist.h"
#include "config/settings.h"
#include "endpoints.h"
#include "manifest/signature_win.h"
#include "net/http.h"
#include "net/text.h"

std::string FetchUsableServerList() {
  std::string text = FetchServerListText();
  // A keyed launcher takes the list only with the operator's signature: a
  // forged list sends every player's account to another login server.
  if (!text.empty() && !BytesSignedByOperator(kServerListUrl, text)) {
    LogWrite("LoadServerList signature invalid: %s", kServerListUrl);
    text.clear();
  }
  if (text.empty() || CountServerEntries(text) == 0) return {};
  // Cached only once it has proved usable: an error page or an empty body
  // never replaces a good copy.
  StoreCachedServerList(text);
  return text;
}

ServerListSource FillServerList(const std::string& siteText) {
  ClearServerList();
  if (!siteText.empty() && ParseServerList(siteText) > 0) return ServerListSource::Site;
  if (ReadCachedServerList() > 0) return ServerListSource::Cache;
  ParseServerList(DefaultServerListText());
  return ServerListSource::BuiltIn;
}

int LoadServerList() {
  FillServerList(FetchUsableServerList());
  return ServerCount();
}

std::string FetchServerListText() {
  std::string text;
  OpenedUrl opened;
  // Only the start-up loader fetches the list, before the window exists (or,
  // late, after the window went on without it): nothing is posted.
  if (!OpenUrl(kServerListUrl, nullptr, {30000, 0, 30000}, &opened)) return text;
  // The status is not examined: only the parse decides whether a body is usable.
  char chunk[512];
  while (text.size() < kServerListFetchLimit) {
    DWORD got = 0;
    if (!InternetReadFile(opened.request.get(), chunk, sizeof chunk, &got) || got == 0) break;
    size_t room = kServerListFetchLimit - text.size();
    text.append(chunk, got < room ? got : room);
  }
  return text;
}

// The narrow registry calls would pass the text through the ANSI code page
// (GBK), which does not give every byte sequence back, so the value is UTF-16
// in the form of CacheTextFromBytes, whose reverse is exact for any bytes.
int ReadCachedServerList() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD size = 0;
  // Each byte of the text takes at most one UTF-16 unit, so a usable value
  // has at most 65,536 units.
  if (RegQueryValueExW(key, L"ServerList", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0 ||
      size > kServerListCacheLimit * sizeof(wchar_t)) {
    RegCloseKey(key);
    return 0;
  }
  std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
  DWORD got = size;
  LONG rc = RegQueryValueExW(key, L"ServerList", nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &got);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return 0;
  // The stored length, not the first NUL, ends the text: a list holding a
  // NUL byte comes back whole.
  size_t units = got / sizeof(wchar_t);
  if (units > 0 && buf[units - 1] == L'\0') --units;
  std::string text = BytesFromCacheText(std::wstring_view(buf.data(), units));
  if (text.size() + 1 > kServerListCacheLimit) return 0;
  return ParseServerList(text);
}

void StoreCachedServerList(const std::string& text) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  std::wstring wide = CacheTextFromBytes(text);
  RegSetValueExW(key, L"ServerList", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                 static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}
