// A worker that ends by an exception reports a failure like any other: its
// busy flag cleared, its completion message posted with the failure result,
// and a log line naming it.
#include <gtest/gtest.h>

#include <new>

#include "app/jobs.h"
#include "app/messages.h"
#include "download/client_download.h"
#include "install/install.h"
#include "net/text.h"
#include "support.h"

using namespace testing_support;

namespace {

TEST(Worker, AnExceptionBecomesTheJobsFailureReport) {
  MessageRecorder recorder;
  ClearLog();

  AddonJob addon;
  addon.window = recorder.hwnd();
  addon.buttonId = 1017;
  AddonBusy = true;
  RunWorkerGuarded(
      "AddonWorker", [] { throw std::bad_alloc(); }, [&] { FinishAddonJob(addon, kJobFailed); });
  EXPECT_FALSE(AddonBusy.load());

  std::atomic<bool> busy{true}, cancel{false};
  PatchJob patch;
  patch.window = recorder.hwnd();
  patch.busy = &busy;
  patch.cancel = &cancel;
  patch.finishMessage = WMU_PATCH_HD_DONE;
  RunWorkerGuarded(
      "PatchWorker", [] { throw 7; }, [&] { FinishPatchJob(patch, kJobFailed); });
  EXPECT_FALSE(busy.load());

  ClientJob client;
  client.window = recorder.hwnd();
  client.buttonId = 1007;
  ClientBusy = true;
  ClientCancel = false;
  RunWorkerGuarded(
      "ClientDownloadThread", [] { throw std::bad_alloc(); },
      [&] { FinishClientJob(client, false, {}, Gbk(u8"下载未完成。")); });
  EXPECT_FALSE(ClientBusy.load());

  recorder.Pump(200);
  ASSERT_EQ(recorder.messages.size(), 3u);
  EXPECT_EQ(recorder.messages[0].msg, static_cast<UINT>(WMU_ADDON_DONE));
  EXPECT_EQ(recorder.messages[0].wParam, static_cast<WPARAM>(kJobFailed));
  EXPECT_EQ(recorder.messages[0].lParam, 1017);
  EXPECT_EQ(recorder.messages[1].msg, static_cast<UINT>(WMU_PATCH_HD_DONE));
  EXPECT_EQ(recorder.messages[1].wParam, static_cast<WPARAM>(kJobFailed));
  EXPECT_EQ(recorder.messages[2].msg, static_cast<UINT>(WMU_CLIENT_DONE));
  std::unique_ptr<ClientDownloadResult> result(reinterpret_cast<ClientDownloadResult*>(recorder.messages[2].lParam));
  ASSERT_NE(result, nullptr);
  EXPECT_FALSE(result->succeeded);
  EXPECT_FALSE(result->cancelled);
  EXPECT_EQ(result->errorText, Gbk(u8"下载未完成。"));
  EXPECT_EQ(result->buttonId, 1007);

  std::string log = ReadLog();
  EXPECT_NE(log.find("AddonWorker: exception msg=std::bad_alloc"), std::string::npos) << log;
  EXPECT_NE(log.find("PatchWorker: unknown exception"), std::string::npos) << log;
  EXPECT_NE(log.find("ClientDownloadThread: exception msg=std::bad_alloc"), std::string::npos) << log;
}

}  // namespace
