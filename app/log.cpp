#include "app/log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>

namespace {

// Threads of this process write one after another. The C runtime's append
// mode seeks to the end and then writes, which is two steps: two threads
// with their own handles could both write at the same offset and one line
// would be lost. Other processes do not write this file.
std::mutex g_logMutex;

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

void LogWrite(const char* format, ...) {
  try {
    const std::wstring dir = LauncherDataFolderPath();
    if (dir.empty()) return;
    const std::wstring logPath = dir + L"\\launcher.log";

    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);

    SYSTEMTIME st;
    GetLocalTime(&st);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%04d-%02d-%02d %02d:%02d:%02d] ", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    // One buffer, one write: a line is never split by another thread's line.
    std::string line = stamp + text + "\n";

    std::lock_guard<std::mutex> lock(g_logMutex);
    struct _stati64 info;
    if (_wstati64(logPath.c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_size) >= kLogRotateBytes) {
      const std::wstring oldPath = logPath + L".old";
      _wremove(oldPath.c_str());
      _wrename(logPath.c_str(), oldPath.c_str());
    }
    FILE* f = _wfopen(logPath.c_str(), L"a");
    if (!f) return;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  } catch (...) {
    // Out of memory while formatting: the line is lost, the caller goes on.
  }
}

std::wstring PrepareLogFolder() {
  std::wstring dir = LauncherDataFolder();
  return dir.empty() ? dir : dir + L"\\launcher.log";
}
