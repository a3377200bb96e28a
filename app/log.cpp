#include "app/log.h"

#include <windows.h>

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <cwchar>
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

// A wide argument in the ANSI code page when every character has a place
// there, else in UTF-8: the C runtime's conversion stops at the first
// character the code page lacks (a Chinese folder under a Western system),
// and a path cut there is no help to anyone reading the log.
std::string NarrowForLog(const wchar_t* wide) {
  if (!wide) return "(null)";
  const int units = static_cast<int>(wcslen(wide));
  if (units == 0) return {};
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, nullptr, 0, nullptr, &lossy);
  UINT page = CP_ACP;
  if (n <= 0 || lossy) {
    page = CP_UTF8;
    n = WideCharToMultiByte(CP_UTF8, 0, wide, units, nullptr, 0, nullptr, nullptr);
  }
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(page, page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, units, out.data(), n, nullptr, nullptr);
  return out;
}

template <class T>
void AppendOne(std::string* out, const std::string& directive, T value) {
  char small[128];
  int n = std::snprintf(small, sizeof small, directive.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out->append(small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), directive.c_str(), value);
  out->append(big.data(), static_cast<size_t>(n));
}

// printf, one conversion at a time, so that wide strings pass through
// NarrowForLog. Widths and precisions given as '*' are not used by the
// program's log lines and are not taken.
std::string FormatV(const char* format, va_list args) {
  std::string out;
  for (const char* p = format; *p;) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    while (*p && std::strchr("-+ #0", *p)) ++p;
    while (*p && (std::isdigit(static_cast<unsigned char>(*p)) || *p == '.')) ++p;
    std::string length;
    while (*p && std::strchr("hlLzjtI", *p)) {
      length += *p;
      ++p;
      if (length.back() == 'I' && p[0] == '6' && p[1] == '4') {
        length += "64";
        p += 2;
      }
    }
    const char conversion = *p ? *p++ : '\0';
    const std::string directive(start, p);
    const bool wide = length == "l" || length == "ll" || length == "I64" || length == "L";
    switch (conversion) {
      case 'd':
      case 'i':
        if (length == "ll" || length == "I64" || length == "j")
          AppendOne(&out, directive, va_arg(args, long long));
        else if (length == "l")
          AppendOne(&out, directive, va_arg(args, long));
        else if (length == "z" || length == "t")
          AppendOne(&out, directive, va_arg(args, ptrdiff_t));
        else
          AppendOne(&out, directive, va_arg(args, int));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (length == "ll" || length == "I64" || length == "j")
          AppendOne(&out, directive, va_arg(args, unsigned long long));
        else if (length == "l")
          AppendOne(&out, directive, va_arg(args, unsigned long));
        else if (length == "z" || length == "t")
          AppendOne(&out, directive, va_arg(args, size_t));
        else
          AppendOne(&out, directive, va_arg(args, unsigned));
        break;
      case 'c': AppendOne(&out, "%c", va_arg(args, int)); break;
      case 'p': AppendOne(&out, directive, va_arg(args, void*)); break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (length == "L")
          AppendOne(&out, directive, va_arg(args, long double));
        else
          AppendOne(&out, directive, va_arg(args, double));
        break;
      case 's':
        if (wide)
          out += NarrowForLog(va_arg(args, const wchar_t*));
        else
          AppendOne(&out, directive, va_arg(args, const char*));
        break;
      case 'S': out += NarrowForLog(va_arg(args, const wchar_t*)); break;
      default: out.append(directive); break;
    }
  }
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
