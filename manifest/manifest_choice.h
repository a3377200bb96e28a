#pragma once
// Which of the manifests the built-in mirrors offer a job takes, which of
// its mirrors may serve its files, and what a job whose file no mirror
// serves as the manifest says does next. A mirror the operator has not
// updated yet (or updated last) still offers the manifest it had: the first
// answer is not the one to trust, the newest is.
#include <string>
#include <string_view>
#include <vector>

// What one built-in mirror offered when asked for the manifest.
struct ManifestOffer {
  bool answered = false;  // a document arrived
  // Signed where the launcher is keyed, readable, with an identity, the
  // product asked for and not older than the newest taken before.
  bool usable = false;
  std::string id;  // its computed identity; empty when it has none
  std::string createdAt;
};

// The usable offer created last, the earliest in mirror order among equals;
// one whose created_at does not read counts as older than any that does.
// -1 when none is usable.
int ChooseNewestManifest(const std::vector<ManifestOffer>& offers);

// The manifest's mirrors a job may take files from: all of them except those
// under a built-in base (`bases`, in the order of `offers`) that offered a
// manifest with another identity than the chosen one (`chosenId`). Such a
// mirror has not been updated, or has been updated past the job: its files
// are another release's under the same names. A base that did not answer,
// or whose document has no identity, says nothing of its files.
std::vector<std::string> MirrorsForJob(const std::vector<std::string>& manifestMirrors,
                                       const std::vector<std::string>& bases, const std::vector<ManifestOffer>& offers,
                                       std::string_view chosenId);

// Whether a manifest read again (`offeredId`, `offeredCreatedAt`) continues a
// job held on another (`heldId`, `heldCreatedAt`) whose file no mirror serves
// as that one says: only one created strictly later. Anything else (the
// same manifest, an older one, an unreadable time) stops the job, so that
// mirrors taking turns at two manifests cannot keep it going round.
bool ContinuesWithManifest(std::string_view heldId, std::string_view heldCreatedAt, std::string_view offeredId,
                           std::string_view offeredCreatedAt);

// What a job says when its file is on no mirror as its manifest says, and no
// newer manifest is offered: the operator is most likely publishing.
inline constexpr char8_t kServerUpdatingText[] = u8"服务器正在更新客户端文件，请稍后再试。";
