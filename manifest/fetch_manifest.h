#pragma once
#include <string>

#include "manifest/client_manifest.h"

// Fetches "<name>.json" from the built-in mirror bases in order and takes the
// first document that parses and has a computable identity; the record's
// manifest_id is that computed identity. On failure `error` gets a GBK text.
// A keyed launcher refuses a manifest without the operator's signature, or
// whose product is not `name`; the error text is then this one (in GBK), so
// that callers can tell it apart.
inline constexpr char8_t kUnsignedManifestText[] = u8"客户端清单签名无效，已停止。请联系服务器管理员。";
// A keyed launcher also refuses a signed manifest created before the newest
// one it has taken for `name` (kept in the registry): an old signed manifest
// would bring back a Wow.exe the operator replaced for a reason.
inline constexpr char8_t kOlderManifestText[] = u8"镜像服务器上的客户端清单比已用过的旧，已停止。请联系服务器管理员。";
bool FetchClientManifest(const std::string& name, ClientManifest* out, std::string* error);
