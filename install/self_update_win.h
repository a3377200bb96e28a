#pragma once
// The launcher's self-update on Windows: the start's tidying of an earlier
// swap, the feed check, the download and swap, and the restart. Keyed builds
// only fetch a feed; an unkeyed one never asks.
#include <windows.h>

#include <atomic>
#include <string>

#include "install/self_update.h"
#include "manifest/launcher_feed.h"

// What the feed check hands the window with WMU_LAUNCHER_OFFER: a signed
// feed for a newer launcher.
struct LauncherOffer {
  LauncherFeed feed;
  std::string feedUrl;
};

// At every start, before the window: puts back an .old that a stop between
// the swap's two renames left without an exe, and counts a start of a new
// exe on trial beside its .old (install/self_update.h). True when the trial
// has failed and the .old is back in place: this process starts it
// (RestartLauncher, after letting go of the single-instance mutex) and ends.
bool TidyLauncherSwap();
// The version a rollback refused, once: the window says so in its status
// line. Empty when there was none.
std::string TakeLauncherRollBack();
// Keyed builds: reads the feed on a worker and posts WMU_LAUNCHER_OFFER to
// `window` when it offers a newer launcher; writes one log line otherwise.
// Called once the window shows: a signed feed read ends a trial, and the
// .old goes.
void StartLauncherUpdateCheck(HWND window);
// The player's yes: downloads the offered exe beside this one, checks it and
// swaps it in; posts WMU_LAUNCHER_READY (wParam 1: swapped) to `window`.
// False when the worker could not start.
bool StartLauncherUpdate(HWND window, const LauncherOffer& offer);
// The feed at `url` fetched with its signature and judged against this
// launcher's version and, for a feed worth offering, whether the folder of
// `paths` takes the download; writes the verdict's one log line. `feed` is
// filled once the signed feed is read.
FeedVerdict CheckLauncherFeed(const std::string& url, const SelfUpdatePaths& paths, LauncherFeed* feed);
// Downloads the feed's exe to `paths.newExe` (progress to `window`, which may
// be null), checks its size and SHA-256 and swaps it in for `paths.exe`,
// which stays `paths.oldExe` until the next start. False, with one log line
// and the exe as it was, when anything fails.
bool DownloadAndSwapLauncher(HWND window, const LauncherFeed& feed, const SelfUpdatePaths& paths);
// Set while the update's download runs; the window's end sets it to stop it.
extern std::atomic<bool> LauncherUpdateBusy, LauncherUpdateCancel;
// Set by the window once the new exe is in place and nothing runs: start-up
// restarts into it after the window is gone.
extern std::atomic<bool> LauncherRestartWanted;
// Starts the exe now in place, with this process's command line. Called
// after this instance has let go of its single-instance mutex.
bool RestartLauncher();
// The launcher's version and where it runs from, for the log.
void LogLauncherStart();
