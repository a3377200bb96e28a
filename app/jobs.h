#pragma once
// Job slots and detached workers.
//
// How a job runs:
//  1. The window claims the job's slot on the UI thread: it sets the busy
//     flag and clears the cancel flag, then relabels and disables buttons.
//     From here on a click on the job's button asks to cancel.
//  2. It starts the worker with TrySpawnDetached, handing it one record with
//     everything the worker needs. When the thread cannot start, the window
//     releases the slot at once.
//  3. The worker never touches a window: it polls its cancel flag and
//     reports only by posting the messages of app/messages.h. It clears the
//     busy flag right before it posts its completion message, also when it
//     ends by an exception (RunWorkerGuarded).
//  4. The completion handler, on the UI thread, releases the slot and sets
//     every job button from the state of all four slots.
// At exit the window sets every cancel flag and start-up waits for the busy
// flags to clear: at most 30 s, and beyond that for as long as a job is
// moving the player's files (WaitForWorkers).
#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "app/log.h"

extern std::atomic<bool> PatchNormalBusy, PatchNormalCancel;
extern std::atomic<bool> PatchHdBusy, PatchHdCancel;
extern std::atomic<bool> ClientBusy, ClientCancel;
extern std::atomic<bool> AddonBusy, AddonCancel;
// Command id (1016 or 1017) of the addon button whose install runs; 0 = none.
extern std::atomic<int> AddonActiveButton;
// Commits and rollbacks of the player's files under way: the exit waits for
// them to end, however long they take (install/journal_win.cpp).
extern std::atomic<int> FilesInTransit;
// Tick of the last time-out warning; 0 = none yet.
extern std::atomic<std::uint32_t> LastTimeoutWarningTick;

// The end of start-up: waits up to 30 s for the jobs to end, and past that
// while FilesInTransit says a commit or rollback is still running.
void WaitForWorkers();

// What the client download thread hands back with WMU_CLIENT_DONE.
struct ClientDownloadResult {
  bool succeeded = false;
  bool cancelled = false;
  std::wstring baseDir;     // the save folder, without trailing separators
  std::wstring folderName;  // "[HD]Wow3.3.5a" or "Wow3.3.5a"
  std::string errorText;    // GBK; only when neither succeeded nor cancelled
  int buttonId = 0;
  std::wstring buttonLabel;
};

// What the client check hands back with WMU_VERIFY_DONE.
struct ClientVerifyResult {
  bool succeeded = false;  // every listed file was checked
  bool cancelled = false;
  int edition = 0;  // 1 normal, 2 HD
  std::uint32_t checked = 0, damaged = 0, older = 0, missing = 0;
  std::uint64_t bytesToFetch = 0;
  bool repair = false;  // the files found were brought to the manifest's version
  std::uint32_t repaired = 0, removed = 0;
  std::uint64_t fetchedBytes = 0;
  std::string errorText;  // GBK; only when neither succeeded nor cancelled
};

// Runs a worker's body. An exception that escapes it is logged with the
// worker's name and reported like any failure of the job: `fail` clears the
// busy flag and posts the completion message with the failure result.
template <class Body, class Fail>
void RunWorkerGuarded(const char* name, Body body, Fail fail) noexcept {
  try {
    body();
    return;
  } catch (const std::exception& e) {
    LogWrite("%s: exception msg=%s", name, e.what());
  } catch (...) {
    LogWrite("%s: unknown exception", name);
  }
  try {
    fail();
  } catch (...) {
    LogWrite("%s: its failure could not be reported", name);
  }
}

// Starts `worker(args...)` on a new detached thread with its own copies of
// the arguments (pass flags with std::ref). Never throws: a thread that
// cannot start is logged and reported as false. An exception escaping the
// worker is logged there instead of ending the process.
template <class Worker, class... Args>
bool TrySpawnDetached(Worker worker, Args&&... args) {
  try {
    std::thread(
        [](Worker w, std::decay_t<Args>... a) {
          try {
            w(std::move(a)...);
          } catch (const std::exception& e) {
            LogWrite("TrySpawnDetached: exception msg=%s", e.what());
          } catch (...) {
            LogWrite("TrySpawnDetached: unknown exception");
          }
        },
        std::move(worker), std::forward<Args>(args)...)
        .detach();
    return true;
  } catch (const std::system_error& e) {
    LogWrite("TrySpawnDetached: std::system_error code=%d msg=%s", e.code().value(), e.what() ? e.what() : "");
  } catch (const std::exception& e) {
    LogWrite("TrySpawnDetached: exception msg=%s", e.what());
  } catch (...) {
    LogWrite("TrySpawnDetached: unknown exception");
  }
  return false;
}
