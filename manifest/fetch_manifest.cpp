#include "manifest/fetch_manifest.h"

#include <windows.h>

#include <thread>
#include <vector>

#include "app/log.h"
#include "endpoints.h"
#include "hash/sha256.h"
#include "manifest/canonical.h"
#include "manifest/fetch_manifest_rules.h"
#include "manifest/json_scan.h"
#include "manifest/manifest_choice.h"
#include "manifest/signature_win.h"
#include "net/http.h"
#include "net/text.h"
#include "net/url.h"

namespace {

// A mirror that does not answer holds the job no longer than the server list
// may hold the start.
constexpr UrlTimeouts kManifestTimeouts = {30000, 0, 30000};

struct MirrorAnswer {
  std::string url, body;
  bool fetched = false;
  ManifestOffer offer;
  ClientManifest manifest;
  bool refusedUnsigned = false, refusedOlder = false;
};

// Everything that decides whether the document may be taken, in the order
// that keeps an unsigned document from being read at all.
void Judge(const std::string& name, const std::string& remembered, bool keyed, MirrorAnswer* a) {
  const std::string& url = a->url;
  a->offer.answered = true;
  if (!BytesSignedByOperator(url, a->body)) {
    LogWrite("FetchClientManifest signature invalid: %s", url.c_str());
    a->refusedUnsigned = true;
    return;
  }
  ClientManifest m;
  if (!ParseClientManifest(a->body, &m)) {
    LogWrite("FetchClientManifest parse failed: %s", url.c_str());
    return;
  }
  std::string computed;
  if (!ComputeManifestId(a->body, &computed)) {
    LogWrite("FetchClientManifest canonical id failed: %s", url.c_str());
    return;
  }
  a->offer.id = computed;
  a->offer.createdAt = m.created_at;
  if (keyed && m.product != name) {
    LogWrite("FetchClientManifest product mismatch: %s names %s", url.c_str(), m.product.c_str());
    a->refusedUnsigned = true;
    return;
  }
  if (keyed && !MayTakeCreatedAt(remembered, m.created_at)) {
    LogWrite("FetchClientManifest older manifest: %s created %s, taken before %s", url.c_str(), m.created_at.c_str(),
             remembered.c_str());
    a->refusedOlder = true;
    return;
  }
  if (!DigestEquals(m.manifest_id, computed)) {  // the declared identity
    // Accepted all the same: the computed identity names the manifest.
    LogWrite("FetchClientManifest manifest_id mismatch declared=%s computed=%s url=%s", m.manifest_id.c_str(),
             computed.c_str(), url.c_str());
  }
  m.manifest_id = computed;
  a->manifest = std::move(m);
  a->offer.usable = true;
}

}  // namespace

bool FetchNewestManifest(const std::string& name, const std::string& remembered, ClientManifest* out,
                         std::string* error) {
  const std::string document = name + ".json";
  const bool keyed = OperatorKeysBuiltIn();
  std::vector<MirrorAnswer> answers(std::size(kMirrorBases));
  std::vector<std::thread> askers;
  for (size_t i = 0; i < answers.size(); ++i) {
    answers[i].url = EnsureTrailingSlash(kMirrorBases[i]) + document;
    MirrorAnswer* a = &answers[i];
    auto ask = [a] { a->fetched = HttpGetToString(a->url, &a->body, kManifestTimeouts); };
    try {
      askers.emplace_back(ask);
    } catch (...) {
      ask();  // no thread to be had: asked in turn
    }
  }
  for (std::thread& t : askers) t.join();
  // Judged in mirror order, so the log reads the same whichever answered first.
  std::vector<ManifestOffer> offers;
  std::vector<std::string> bases;
  bool refusedUnsigned = false, refusedOlder = false;
  for (MirrorAnswer& a : answers) {
    if (a.fetched)
      Judge(name, remembered, keyed, &a);
    else
      LogWrite("FetchClientManifest failed: %s", a.url.c_str());
    refusedUnsigned = refusedUnsigned || a.refusedUnsigned;
    refusedOlder = refusedOlder || a.refusedOlder;
    offers.push_back(a.offer);
    bases.emplace_back(kMirrorBases[bases.size()]);
  }
  const int chosen = ChooseNewestManifest(offers);
  if (chosen < 0) {
    *error = refusedOlder      ? Gbk(kOlderManifestText)
             : refusedUnsigned ? Gbk(kUnsignedManifestText)
                               : Gbk(u8"无法从镜像服务器获取客户端清单，请检查网络。");
    return false;
  }
  MirrorAnswer& taken = answers[chosen];
  ClientManifest& m = taken.manifest;
  for (size_t i = 0; i < answers.size(); ++i)
    if (!offers[i].id.empty() && offers[i].id != m.manifest_id)
      LogWrite("FetchClientManifest another manifest (created %s) on %s: no files from it", offers[i].createdAt.c_str(),
               answers[i].url.c_str());
  std::vector<std::string> serving = MirrorsForJob(m.mirrors, bases, offers, m.manifest_id);
  if (serving.empty()) {
    // Every mirror it names holds another release: it is being published.
    LogWrite("FetchClientManifest no mirror serves %s from %s", name.c_str(), taken.url.c_str());
    *error = Gbk(kServerUpdatingText);
    return false;
  }
  m.mirrors = std::move(serving);
  LogWrite("FetchClientManifest ok: %s files=%zu from %s", name.c_str(), m.files.size(), taken.url.c_str());
  *out = std::move(m);
  return true;
}
