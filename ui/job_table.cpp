#include "ui/job_table.h"

#include "ui/ids.h"

namespace {

// The buttons a running job disables, its own button aside.
std::vector<int> Disables(JobKind kind, int ownButton) {
  switch (kind) {
    // A patch rewrites the client's archives: a check meanwhile would read
    // half-written files.
    case JobKind::PatchNormal: return {kIdStartGame, kIdPatchHd, kIdVerify};
    case JobKind::PatchHd: return {kIdStartGame, kIdPatchNormal, kIdVerify};
    case JobKind::Client:
      // The check of a client runs in the client download's slot.
      if (ownButton == kIdVerify) return {kIdPatchNormal, kIdPatchHd, kIdClientNormal, kIdClientHd};
      return {kIdPatchNormal, kIdPatchHd, ownButton == kIdClientHd ? kIdClientNormal : kIdClientHd, kIdVerify};
    case JobKind::Addon: return {kIdStartGame, ownButton == kIdAddonA ? kIdAddonB : kIdAddonA};
  }
  return {};
}

}  // namespace

std::vector<ButtonLook> JobButtonLooks(const JobViews& jobs) {
  std::vector<ButtonLook> looks;
  for (int id :
       {kIdStartGame, kIdPatchNormal, kIdPatchHd, kIdClientHd, kIdClientNormal, kIdAddonA, kIdAddonB, kIdVerify}) {
    ButtonLook look;
    look.id = id;
    for (int k = 0; k < kJobKinds; ++k) {
      const JobView& job = jobs[k];
      if (!job.running) continue;
      if (job.button == id) {
        look.label = job.cancelling ? ButtonLabel::Cancelling : ButtonLabel::Busy;
        if (job.cancelling) look.enabled = false;
      }
      for (int off : Disables(static_cast<JobKind>(k), job.button))
        if (off == id) look.enabled = false;
    }
    looks.push_back(look);
  }
  return looks;
}
