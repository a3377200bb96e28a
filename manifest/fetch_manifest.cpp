#include "manifest/fetch_manifest.h"

#include "app/log.h"
#include "endpoints.h"
#include "manifest/canonical.h"
#include "manifest/json_scan.h"
#include "hash/sha256.h"
#include "manifest/signature_win.h"
#include "net/http.h"
#include "net/text.h"
#include "net/url.h"

bool FetchClientManifest(const std::string& name, ClientManifest* out, std::string* error) {
  const std::string document = name + ".json";
  bool refusedUnsigned = false;
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
    if (!DigestEquals(m.manifest_id, computed)) {  // the declared identity
      // Accepted all the same: the computed identity names the manifest.
      LogWrite("FetchClientManifest manifest_id mismatch declared=%s computed=%s url=%s", m.manifest_id.c_str(),
               computed.c_str(), url.c_str());
    }
    m.manifest_id = computed;
    LogWrite("FetchClientManifest ok: %s files=%zu from %s", name.c_str(), m.files.size(), url.c_str());
    *out = std::move(m);
    return true;
  }
  *error = refusedUnsigned ? Gbk(kUnsignedManifestText) : Gbk(u8"无法从镜像服务器获取客户端清单，请检查网络。");
  return false;
}
