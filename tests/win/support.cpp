#include "support.h"

#include <cstdio>
#include <iterator>
#include <fstream>

namespace testing_support {

ScratchDir::ScratchDir(const std::wstring& name) {
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  path_ = std::wstring(tmp) + L"rp-test-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
  RemoveTree(path_);
  MakeDirs(path_);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
  DWORD attr = GetFileAttributesW(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attr & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring n = fd.cFileName;
      if (n != L"." && n != L"..") RemoveTree(path + L"\\" + n);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(path.c_str());
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string out;
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  if (FILE* f = _wfopen(path.c_str(), L"wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void MakeDirs(const std::wstring& path) {
  for (size_t i = 3; i <= path.size(); ++i)
    if (i == path.size() || path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

std::wstring HelperExe(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir = self;
  return dir.substr(0, dir.find_last_of(L'\\')) + L"\\" + name;
}

bool WaitForFile(const std::wstring& path, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (Exists(path)) return true;
    Sleep(50);
  }
  return Exists(path);
}

}  // namespace testing_support

#include <shlobj.h>
#include <wininet.h>

#include "app/messages.h"

namespace testing_support {

std::wstring Www(const wchar_t* server, const std::wstring& rel) {
  wchar_t root[MAX_PATH] = {};
  GetEnvironmentVariableW(L"RP_WWW_WIN", root, MAX_PATH);
  std::wstring p = std::wstring(root) + L"\\" + server;
  return rel.empty() ? p : p + L"\\" + rel;
}

std::string Control(const std::string& serverRoot, const std::string& pathAndQuery) {
  std::string url = serverRoot + pathAndQuery;
  std::string body;
  HINTERNET session = InternetOpenA("rp-test-control", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!session) return body;
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_IGNORE_CERT_CN_INVALID |
                INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
  if (url.compare(0, 8, "https://") == 0) flags |= INTERNET_FLAG_SECURE;
  if (HINTERNET req = InternetOpenUrlA(session, url.c_str(), nullptr, 0, flags, 0)) {
    char buf[4096];
    DWORD got = 0;
    while (InternetReadFile(req, buf, sizeof buf, &got) && got > 0) body.append(buf, got);
    InternetCloseHandle(req);
  }
  InternetCloseHandle(session);
  return body;
}

void ClearAllServers() {
  for (const char* s : {kSite, kSitePlain, kMirror1, kMirror2, kMirror3}) Control(s, "/__clear");
}

void ClearRequestLogs() {
  for (const char* s : {kSite, kSitePlain, kMirror1, kMirror2, kMirror3}) Control(s, "/__clearlog");
}

std::vector<std::string> Requests(const std::string& serverRoot) {
  std::vector<std::string> lines;
  std::string all = Control(serverRoot, "/__requests");
  size_t pos = 0;
  while (pos < all.size()) {
    size_t lf = all.find('\n', pos);
    if (lf == std::string::npos) lf = all.size();
    if (lf > pos) lines.push_back(all.substr(pos, lf - pos));
    pos = lf + 1;
  }
  return lines;
}

std::string PatternBytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

std::wstring LogFilePath() {
  wchar_t appData[MAX_PATH] = {};
  SHGetSpecialFolderPathW(nullptr, appData, CSIDL_LOCAL_APPDATA, FALSE);
  std::wstring dir = std::wstring(appData) + L"\\RealmPorter";
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\launcher.log";
}

std::string ReadLog() { return ReadFileBytes(LogFilePath()); }
void ClearLog() { DeleteFileW(LogFilePath().c_str()); }

namespace {

LRESULT CALLBACK RecorderProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<MessageRecorder*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self && msg >= WM_USER && msg < WM_USER + 64) {
    Recorded r{msg, wp, lp, {}, GetTickCount()};
    if (msg == WMU_STATUS_TEXT && lp) {
      HGLOBAL block = reinterpret_cast<HGLOBAL>(lp);
      if (const char* p = static_cast<const char*>(GlobalLock(block))) {
        wchar_t wide[512] = {};
        MultiByteToWideChar(936, 0, p, -1, wide, 512);
        char utf8[1536] = {};
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
        r.text = utf8;
        GlobalUnlock(block);
      }
      GlobalFree(block);
    }
    self->messages.push_back(r);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

MessageRecorder::MessageRecorder() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecorderProc;
    wc.lpszClassName = L"RpTestRecorder";
    RegisterClassW(&wc);
    registered = true;
  }
  hwnd_ = CreateWindowExW(0, L"RpTestRecorder", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

MessageRecorder::~MessageRecorder() {
  Pump();
  DestroyWindow(hwnd_);
}

void MessageRecorder::Pump(DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    if (GetTickCount() - start >= ms) break;
    Sleep(10);
  }
}

std::vector<std::string> MessageRecorder::Texts() const {
  std::vector<std::string> out;
  for (const auto& r : messages)
    if (r.msg == WMU_STATUS_TEXT) out.push_back(r.text);
  return out;
}

std::vector<int> MessageRecorder::Percents() const {
  std::vector<int> out;
  for (const auto& r : messages)
    if (r.msg == WMU_PROGRESS) out.push_back(static_cast<int>(r.wParam));
  return out;
}

int MessageRecorder::Count(UINT msg) const {
  int n = 0;
  for (const auto& r : messages) n += r.msg == msg;
  return n;
}

}  // namespace testing_support

#include "manifest/canonical.h"
#include "hash/sha256.h"
#include "net/text.h"

namespace testing_support {

namespace {

std::wstring WideOf(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
  return w;
}

}  // namespace

namespace {

// The files under <folder><product>/files/ on every mirror (`folder` below
// the mirror's root, ending in a backslash), the manifest at
// wow335/<product>.json.
std::string Publish(const std::string& product, const std::string& installRoot, const std::vector<ClientFile>& files,
                    bool rangeSupported, const std::vector<std::string>& mirrors, const std::string& createdAt,
                    const std::wstring& folder) {
  std::wstring wproduct = WideOf(product);
  std::wstring first;
  std::uint64_t total = 0;
  std::string list;
  for (size_t i = 0; i < files.size(); ++i) {
    std::wstring rel = WideOf(files[i].path);
    for (wchar_t& c : rel)
      if (c == L'/') c = L'\\';
    std::wstring p1 = Www(L"m1", folder + wproduct + L"\\files\\" + rel);
    MakeDirs(p1.substr(0, p1.find_last_of(L'\\')));
    WriteFileBytes(p1, files[i].data);
    for (const wchar_t* m : {L"m2", L"m3"}) {
      std::wstring p = Www(m, folder + wproduct + L"\\files\\" + rel);
      MakeDirs(p.substr(0, p.find_last_of(L'\\')));
      DeleteFileW(p.c_str());
      if (!CreateHardLinkW(p.c_str(), p1.c_str(), nullptr)) WriteFileBytes(p, files[i].data);
    }
    std::string hash;
    Sha256HexOfString(files[i].data, &hash);
    total += files[i].data.size();
    list += std::string(i ? ",\n" : "") + "    {\"path\": \"" + files[i].path +
            "\", \"size\": " + std::to_string(files[i].data.size()) + ", \"sha256\": \"" + hash + "\"}";
  }
  std::string m;
  for (size_t i = 0; i < mirrors.size(); ++i) m += std::string(i ? ", " : "") + "\"" + mirrors[i] + "\"";
  std::string doc = "{\n  \"schema_version\": 1,\n  \"manifest_id\": \"@ID@\",\n  \"product\": \"" + product +
                    "\",\n  \"display_name\": \"Test client\",\n  \"created_at\": \"" + createdAt +
                    "\",\n"
                    "  \"install_root\": \"" +
                    installRoot + "\",\n  \"total_bytes\": " + std::to_string(total) +
                    ",\n  \"file_count\": " + std::to_string(files.size()) +
                    ",\n  \"download\": {\"mode\": \"mirror\", \"url_template\": \"{mirror}{product}/files/{path}\","
                    " \"user_agent\": \"RealmPorter/2.0 (Game Client Launcher)\", \"range_supported\": \"" +
                    (rangeSupported ? "true" : "false") +
                    "\", \"max_connections_per_mirror\": 1, \"max_total_connections\": 3},\n  \"mirrors\": [" + m +
                    "],\n  \"files\": [\n" + list + "\n  ]\n}\n";
  std::string id;
  ComputeManifestId(doc, &id);
  doc.replace(doc.find("@ID@"), 4, id);
  for (const wchar_t* mirror : {L"m1", L"m2", L"m3"}) {
    MakeDirs(Www(mirror, L"wow335"));
    WriteFileBytes(Www(mirror, L"wow335\\" + wproduct + L".json"), doc);
  }
  return doc;
}

}  // namespace

std::string PublishClient(const std::string& product, const std::string& installRoot,
                          const std::vector<ClientFile>& files, bool rangeSupported,
                          const std::vector<std::string>& mirrors) {
  return Publish(product, installRoot, files, rangeSupported, mirrors, "2026-01-01T00:00:00Z", L"wow335\\");
}

std::string PublishRelease(const std::string& product, const std::string& installRoot,
                           const std::vector<ClientFile>& files, const std::string& createdAt,
                           const std::string& release) {
  if (release.empty()) return Publish(product, installRoot, files, true, kLoopbackMirrors, createdAt, L"wow335\\");
  std::vector<std::string> mirrors;
  for (const std::string& base : kLoopbackMirrors) mirrors.push_back(base + "releases/" + release + "/");
  return Publish(product, installRoot, files, true, mirrors, createdAt,
                 L"wow335\\releases\\" + WideOf(release) + L"\\");
}

void UnpublishClient(const std::string& product) {
  std::wstring wproduct = WideOf(product);
  for (const wchar_t* mirror : {L"m1", L"m2", L"m3"}) {
    DeleteFileW(Www(mirror, L"wow335\\" + wproduct + L".json").c_str());
    RemoveTree(Www(mirror, L"wow335\\" + wproduct));
    RemoveTree(Www(mirror, L"wow335\\releases"));
  }
}

}  // namespace testing_support

namespace testing_support {

AddonJob PackButtonJob(HWND window, const std::wstring& game, const std::wstring& cacheFile, const std::string& url) {
  AddonJob job;
  job.window = window;
  job.gameFolder = game;
  job.gamePath = game + L"\\Wow.exe";
  job.cacheFile = cacheFile;
  job.url = url;
  job.percentFormat = Gbk(u8"%d%%");
  job.sizeFormat = Gbk(u8"%.1f MB");
  job.successText = Gbk(u8"完成");
  job.buttonId = 1016;
  return job;
}

}  // namespace testing_support
