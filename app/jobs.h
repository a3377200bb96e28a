#pragma once
// Job slots and detached workers. Workers never touch a window: they post
// the private messages of app/messages.h and poll their cancel flag.
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
// Tick of the last time-out warning; 0 = none yet.
extern std::atomic<std::uint32_t> LastTimeoutWarningTick;

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
