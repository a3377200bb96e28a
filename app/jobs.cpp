#include "app/jobs.h"

std::atomic<bool> PatchNormalBusy{false}, PatchNormalCancel{false};
std::atomic<bool> PatchHdBusy{false}, PatchHdCancel{false};
std::atomic<bool> ClientBusy{false}, ClientCancel{false};
std::atomic<bool> AddonBusy{false}, AddonCancel{false};
std::atomic<int> AddonActiveButton{0};
std::atomic<std::uint32_t> LastTimeoutWarningTick{0};
std::atomic<int> FilesInTransit{0};

void WaitForWorkers() {
  auto busy = [] { return PatchNormalBusy.load() || PatchHdBusy.load() || ClientBusy.load() || AddonBusy.load(); };
  // A job cut off while it moves the player's files would leave them to the
  // next start's recovery: that wait has no limit (it ends within seconds).
  // The launcher's own swap counts there too, with no job's busy flag set.
  for (int i = 0; (busy() && i < 300) || FilesInTransit.load() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}
