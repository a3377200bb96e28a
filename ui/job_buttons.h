#pragma once
// Beginning and ending a job on the Main window: the job slots as the window
// sees them, the buttons set from all four at once, the cancel tail, and what
// the completion handlers share. UI thread only.
#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>

#include "ui/job_table.h"
// The boxes, notice and progress bar the completion handlers use.
#include "ui/window_services.h"

// The job's busy and cancel flags (app/jobs.h).
std::atomic<bool>& JobBusyFlag(JobKind kind);
std::atomic<bool>& JobCancelFlag(JobKind kind);
// Claimed by the window and its completion not yet handled. This, not the
// busy flag, decides whether a click starts the job or asks to cancel it:
// the worker clears busy before its completion message is handled.
bool JobRunning(JobKind kind);
// The running job's own button (0 when the job does not run).
int JobButton(JobKind kind);
// Claims the slot before the worker starts: the busy flag set, the cancel
// flag cleared, `button` relabelled and the buttons the job disables
// disabled. While any job runs the PC does not go to sleep on its own.
void ClaimJob(HWND hwnd, JobKind kind, int button);
// Releases the slot, on completion or when the worker could not start, and
// sets the buttons from the jobs that still run.
void ReleaseJob(HWND hwnd, JobKind kind);
// When the worker could not start: the slot released, the progress bar
// hidden, and `text` in the notice and in an error box.
void ReportJobNotStarted(HWND hwnd, JobKind kind, std::u8string_view text);

// Yes/No cancel confirmation with No as the default.
bool ConfirmCancel(HWND hwnd, std::u8string_view text, std::u8string_view title);
// After a confirmed cancel: the cancel flag set, the job's button disabled
// and reading "正在取消...", the notice showing `noticeText`.
void CancelJob(HWND hwnd, JobKind kind, std::u8string_view noticeText);
