#include "manifest/fetch_manifest.h"

#include <windows.h>

#include "app/log.h"
#include "config/settings.h"
#include "endpoints.h"
#include "manifest/canonical.h"
#include "manifest/fetch_manifest_rules.h"
#include "manifest/json_scan.h"
#include "hash/sha256.h"
#include "manifest/signature_win.h"
#include "net/http.h"
#include "net/text.h"
#include "net/url.h"

namespace {

// The newest created_at taken for `product`, or empty.
std::string RememberedCreatedAt(const std::string& product) {
  const std::wstring name = Utf8ToWide(CreatedAtValueName(product));
  wchar_t buf[128] = {};
  DWORD size = sizeof buf - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name.c_str(), RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return {};
  return WideToUtf8(buf);
}

void RememberCreatedAt(const std::string& product, const std::string& createdAt) {
  const std::wstring name = Utf8ToWide(CreatedAtValueName(product)), value = Utf8ToWide(createdAt);
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    LogWrite("FetchClientManifest cannot remember created_at for %s", product.c_str());
    return;
  }
  RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

}  // namespace

bool FetchClientManifest(const std::string& name, ClientManifest* out, std::string* error) {
  const std::string document = name + ".json";
  const bool keyed = OperatorKeysBuiltIn();
  const std::string remembered = keyed ? RememberedCreatedAt(name) : std::string();
  bool refusedUnsigned = false, refusedOlder = false;
  for (const char* base : kMirrorBases) {
    std::string url = EnsureTrailingSlash(base) + document;
    std::string body;
    if (!HttpGetToString(url, &body)) {
      LogWrite("FetchClientManifest failed: %s", url.c_str());
      continue;
    }
    // Checked before anything is read from it: an unsigned manifest could
    // name any Wow.exe with its own hash.
    if (!BytesSignedByOperator(url, body)) {
      LogWrite("FetchClientManifest signature invalid: %s", url.c_str());
      refusedUnsigned = true;
      continue;
    }
    ClientManifest m;
    if (!ParseClientManifest(body, &m)) {
      LogWrite("FetchClientManifest parse failed: %s", url.c_str());
      continue;
    }
    std::string computed;
    if (!ComputeManifestId(body, &computed)) {
      LogWrite("FetchClientManifest canonical id failed: %s", url.c_str());
      continue;
    }
    std::string createdAt;
    JsonFindString(body, "created_at", &createdAt);
    if (keyed && m.product != name) {
      LogWrite("FetchClientManifest product mismatch: %s names %s", url.c_str(), m.product.c_str());
      refusedUnsigned = true;
      continue;
    }
    if (keyed && !MayTakeCreatedAt(remembered, createdAt)) {
      LogWrite("FetchClientManifest older manifest: %s created %s, taken before %s", url.c_str(), createdAt.c_str(),
               remembered.c_str());
      refusedOlder = true;
      continue;
    }
    if (!DigestEquals(m.manifest_id, computed)) {  // the declared identity
      // Accepted all the same: the computed identity names the manifest.
      LogWrite("FetchClientManifest manifest_id mismatch declared=%s computed=%s url=%s", m.manifest_id.c_str(),
               computed.c_str(), url.c_str());
    }
    CreatedAt readable;
    if (keyed && createdAt != remembered && ParseCreatedAt(createdAt, &readable)) RememberCreatedAt(name, createdAt);
    m.manifest_id = computed;
    LogWrite("FetchClientManifest ok: %s files=%zu from %s", name.c_str(), m.files.size(), url.c_str());
    *out = std::move(m);
    return true;
  }
  *error = refusedOlder      ? Gbk(kOlderManifestText)
           : refusedUnsigned ? Gbk(kUnsignedManifestText)
                             : Gbk(u8"无法从镜像服务器获取客户端清单，请检查网络。");
  return false;
}
