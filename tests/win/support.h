#pragma once
// Helpers shared by the Windows tests: scratch folders, whole-file reads and
// writes, the test helper programs.
#include <windows.h>

#include <string>
#include <string_view>

namespace testing_support {

// A UTF-8 literal (u8"...") as the std::string the program's UTF-8 texts use.
inline std::string U8(std::u8string_view s) { return std::string(s.begin(), s.end()); }

// A new empty folder under the prefix's temporary folder, removed by the
// destructor.
class ScratchDir {
 public:
  explicit ScratchDir(const std::wstring& name);
  ~ScratchDir();
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& rel) const { return path_ + L"\\" + rel; }

 private:
  std::wstring path_;
};

void RemoveTree(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);
void MakeDirs(const std::wstring& path);
// Path of a helper program built beside the test executables.
std::wstring HelperExe(const wchar_t* name);
// Waits up to `ms` for a file to appear.
bool WaitForFile(const std::wstring& path, DWORD ms);

}  // namespace testing_support

#include <atomic>
#include <cstdint>
#include <vector>

namespace testing_support {

// Folder served by a loopback server: L"site", L"m1", L"m2" or L"m3".
std::wstring Www(const wchar_t* server, const std::wstring& rel = L"");
// Control request to a loopback server, e.g. ("https://127.0.0.1:18443",
// "/__fault?path=/x&kind=drop&arg=1000&times=1"). Returns the body.
std::string Control(const std::string& serverRoot, const std::string& pathAndQuery);
inline constexpr char kSite[] = "https://127.0.0.1:18443";
inline constexpr char kSitePlain[] = "http://127.0.0.1:18080";
inline constexpr char kMirror1[] = "https://127.0.0.1:18082";
inline constexpr char kMirror2[] = "https://127.0.0.2:18082";
inline constexpr char kMirror3[] = "https://127.0.0.3:18008";
// Drops every fault and request log on all loopback servers.
void ClearAllServers();
// Drops only the request logs.
void ClearRequestLogs();
// Request lines a server saw ("GET /path range").
std::vector<std::string> Requests(const std::string& serverRoot);

// Bytes that differ from file to file: a pattern seeded by `seed`.
std::string PatternBytes(size_t n, unsigned seed);

// The launcher's log file, and making sure its folder exists.
std::wstring LogFilePath();
std::string ReadLog();
void ClearLog();

// A hidden message-only window that records the private messages the
// workers post to the Main window.
struct Recorded {
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
  std::string text;  // WMU_STATUS_TEXT, converted to UTF-8
  DWORD tick = 0;    // GetTickCount when it was taken
};
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  HWND hwnd() const { return hwnd_; }
  // Dispatches what is queued for this thread, for `ms` milliseconds.
  void Pump(DWORD ms = 0);
  std::vector<Recorded> messages;
  std::vector<std::string> Texts() const;
  std::vector<int> Percents() const;
  int Count(UINT msg) const;

 private:
  HWND hwnd_ = nullptr;
};

}  // namespace testing_support

namespace testing_support {

struct ClientFile {
  std::string path;  // manifest path, UTF-8 with '/'
  std::string data;
};
inline const std::vector<std::string> kLoopbackMirrors = {
    "https://127.0.0.1:18082/wow335/", "https://127.0.0.2:18082/wow335/", "https://127.0.0.3:18008/wow335/"};
// Publishes a client on the three loopback mirrors: its files under
// wow335/<product>/files/ and the manifest as wow335/<product>.json, whose
// text is returned.
std::string PublishClient(const std::string& product, const std::string& installRoot,
                          const std::vector<ClientFile>& files, bool rangeSupported = true,
                          const std::vector<std::string>& mirrors = kLoopbackMirrors);
// Publishes as the operator's publish does: the files under
// wow335/releases/<release>/<product>/files/ and the manifest's mirrors
// naming that folder on each mirror, created at `createdAt`. An empty
// `release` puts the files where PublishClient does, over what is there.
std::string PublishRelease(const std::string& product, const std::string& installRoot,
                           const std::vector<ClientFile>& files, const std::string& createdAt,
                           const std::string& release = "");
// Removes a published client from the mirrors (its release folders too).
void UnpublishClient(const std::string& product);

}  // namespace testing_support

#include "install/install.h"

namespace testing_support {

// The addon worker's job as the pack button 1016 starts it: the pack at `url`
// into `game` (whose Wow.exe it names), cached as `cacheFile`, reporting to `window`.
AddonJob PackButtonJob(HWND window, const std::wstring& game, const std::wstring& cacheFile, const std::string& url);

}  // namespace testing_support
