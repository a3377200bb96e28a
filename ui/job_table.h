#pragma once
// Which buttons the running jobs disable or relabel. The buttons' state is
// always computed from all four jobs at once, so that one job ending never
// re-enables a button that another running job keeps disabled.
//
//   running job      disabled                          relabelled (cancels)
//   patch (a kind)   1003, the other patch button       its own patch button
//   client download  1004, 1008, the other client       its own client button
//   addon install    1003, the other addon button       its own addon button
//   client check     1004, 1008, 1007, 1015             1018
// (a patch and a client download disable 1018 too).
//
// A job whose cancel was confirmed shows "正在取消..." on its button, disabled.
#include <array>
#include <vector>

enum class JobKind { PatchNormal = 0, PatchHd = 1, Client = 2, Addon = 3 };
inline constexpr int kJobKinds = 4;

struct JobView {
  bool running = false;     // claimed by the window, completion not yet handled
  bool cancelling = false;  // the user confirmed the cancel
  int button = 0;           // the job's own button (client and addon: the one clicked)
};
using JobViews = std::array<JobView, kJobKinds>;

enum class ButtonLabel { Idle, Busy, Cancelling };
struct ButtonLook {
  int id = 0;
  bool enabled = true;
  ButtonLabel label = ButtonLabel::Idle;
};

// The look of each job button and of the start-game button, in the order
// 1003, 1004, 1008, 1007, 1015, 1016, 1017, 1018.
std::vector<ButtonLook> JobButtonLooks(const JobViews& jobs);
