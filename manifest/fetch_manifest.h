#pragma once
#include <string>

#include "manifest/client_manifest.h"

// Asks every built-in mirror base for "<name>.json" side by side and takes
// the newest document that parses and has a computable identity (see
// manifest/manifest_choice.h); the record's manifest_id is that computed
// identity, its created_at the document's, and its mirrors only those of the
// document's mirrors that serve this manifest. On failure `error` gets a GBK
// text. A keyed launcher refuses a manifest without the operator's
// signature, or whose product is not `name`; the error text is then this
// one (in GBK), so that callers can tell it apart.
inline constexpr char8_t kUnsignedManifestText[] = u8"客户端清单签名无效，已停止。请联系服务器管理员。";
// A keyed launcher also refuses a signed manifest created before
// `remembered`, the newest one it has taken for `name` ("" when none): an
// old signed manifest would bring back a Wow.exe the operator replaced for a
// reason. The caller keeps that time (download/take_manifest.h).
inline constexpr char8_t kOlderManifestText[] = u8"镜像服务器上的客户端清单比已用过的旧，已停止。请联系服务器管理员。";
bool FetchNewestManifest(const std::string& name, const std::string& remembered, ClientManifest* out,
                         std::string* error);
