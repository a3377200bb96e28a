#include "app/jobs.h"

std::atomic<bool> PatchNormalBusy{false}, PatchNormalCancel{false};
std::atomic<bool> PatchHdBusy{false}, PatchHdCancel{false};
std::atomic<bool> ClientBusy{false}, ClientCancel{false};
std::atomic<bool> AddonBusy{false}, AddonCancel{false};
std::atomic<int> AddonActiveButton{0};
std::atomic<std::uint32_t> LastTimeoutWarningTick{0};
