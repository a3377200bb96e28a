#include "app/crash.h"

#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

#include "app/data_folder.h"
#include "app/kept_copies.h"
#include "app/log.h"
#include "app/system_dlls.h"

namespace {

constexpr int kKeptReports = 5;
constexpr DWORD kLogTailBytes = 16384;
constexpr DWORD kUncaughtCppException = 0xE0524350;  // "RPC" in the customer range

// Everything the handler needs is found at start-up: a crashed process may
// have a broken heap or a lock held by the dead thread.
wchar_t g_folder[MAX_PATH];
wchar_t g_logPath[MAX_PATH];
using WriteDump = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
WriteDump g_writeDump = nullptr;
std::atomic<bool> g_crashing{false};

std::wstring NotePath() { return std::wstring(g_folder) + L"\\unannounced"; }

void WriteAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  WriteFile(file, data, size, &written, nullptr);
}

// The log's last lines, after a line of what happened.
void WriteLogTail(const wchar_t* path, const EXCEPTION_RECORD* record) {
  HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  char head[160];
  int n = std::snprintf(head, sizeof head, "exception 0x%08lX at 0x%p in thread %lu\r\n\r\n",
                        record ? static_cast<unsigned long>(record->ExceptionCode) : 0UL,
                        record ? record->ExceptionAddress : nullptr, static_cast<unsigned long>(GetCurrentThreadId()));
  if (n > 0) WriteAll(out, head, static_cast<DWORD>(std::min<int>(n, sizeof head - 1)));
  HANDLE log = CreateFileW(g_logPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    static char tail[kLogTailBytes];
    LARGE_INTEGER size{};
    GetFileSizeEx(log, &size);
    LARGE_INTEGER from{};
    from.QuadPart = size.QuadPart > kLogTailBytes ? size.QuadPart - kLogTailBytes : 0;
    DWORD got = 0;
    if (SetFilePointerEx(log, from, nullptr, FILE_BEGIN) && ReadFile(log, tail, kLogTailBytes, &got, nullptr)) {
      DWORD start = 0;
      // A tail cut inside a line starts at the next whole one.
      if (from.QuadPart > 0)
        while (start < got && tail[start++] != '\n') {
        }
      WriteAll(out, tail + start, got - start);
    }
    CloseHandle(log);
  }
  CloseHandle(out);
}

// The names of the reports there (crash-*.dmp), without ".dmp".
std::vector<std::wstring> ReportStems() {
  std::vector<std::wstring> stems;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((std::wstring(g_folder) + L"\\crash-*.dmp").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return stems;
  do {
    std::wstring name = found.cFileName;
    stems.push_back(name.substr(0, name.size() - 4));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return stems;
}

// Oldest first by number (KeptBeyond): the reports beyond the newest five
// go, each with its log; `justMade` stays whatever the clock said.
void PruneReports(const std::wstring& justMade) {
  for (const std::wstring& stem : KeptBeyond(ReportStems(), L"crash", kKeptReports, justMade)) {
    std::wstring base = std::wstring(g_folder) + L"\\" + stem;
    DeleteFileW((base + L".dmp").c_str());
    DeleteFileW((base + L".log").c_str());
  }
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  // A second thread crashing meanwhile waits for the first report.
  if (g_crashing.exchange(true)) {
    Sleep(INFINITE);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (!g_folder[0] || !g_writeDump) return EXCEPTION_CONTINUE_SEARCH;
  CreateDirectoryW(g_folder, nullptr);
  SYSTEMTIME t;
  GetLocalTime(&t);
  wchar_t when[32];
  std::swprintf(when, sizeof when / sizeof *when, L"%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond);
  const std::wstring name = NextKeptName(ReportStems(), L"crash", when);
  wchar_t stem[MAX_PATH + 40];
  std::swprintf(stem, sizeof stem / sizeof *stem, L"%ls\\%ls", g_folder, name.c_str());
  wchar_t dump[MAX_PATH + 48], tail[MAX_PATH + 48];
  std::swprintf(dump, sizeof dump / sizeof *dump, L"%ls.dmp", stem);
  std::swprintf(tail, sizeof tail / sizeof *tail, L"%ls.log", stem);

  HANDLE file = CreateFileW(dump, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool written = false;
  if (file != INVALID_HANDLE_VALUE) {
    MINIDUMP_EXCEPTION_INFORMATION info{GetCurrentThreadId(), pointers, FALSE};
    written = g_writeDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                          static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo), &info, nullptr,
                          nullptr) != FALSE;
    CloseHandle(file);
    if (!written) DeleteFileW(dump);
  }
  if (written) {
    WriteLogTail(tail, pointers ? pointers->ExceptionRecord : nullptr);
    HANDLE note =
        CreateFileW(NotePath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (note != INVALID_HANDLE_VALUE) {
      WriteAll(note, dump, static_cast<DWORD>(std::wcslen(dump) * sizeof(wchar_t)));
      CloseHandle(note);
    }
    PruneReports(name);
    LogWrite("Crash: exception 0x%08lX, report written to %ls",
             pointers && pointers->ExceptionRecord
                 ? static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode)
                 : 0UL,
             dump);
  } else {
    LogWrite("Crash: the report could not be written to %ls (error %lu)", dump,
             static_cast<unsigned long>(GetLastError()));
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

// A C++ exception that leaves a thread ends in std::terminate, which would
// abort without passing the handler: it becomes an exception the handler sees.
[[noreturn]] void OnTerminate() {
  RaiseException(kUncaughtCppException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  std::abort();
}

#if defined(REALMPORTER_TEST_HOOKS)
// A write to the image's read-only data: an access violation on Windows and
// Wine alike (Wine may map the page at address zero).
const int kReadOnly = 0;

DWORD WINAPI CrashingThread(void*) {
  int* volatile target = const_cast<int*>(&kReadOnly);
  *target = 1;
  return 0;
}
#endif

}  // namespace

void InstallCrashHandler() {
  std::wstring dir = LauncherDataFolder();
  std::wstring folder = dir + L"\\crash";
  std::wstring log = dir + L"\\launcher.log";
  if (!dir.empty() && folder.size() < MAX_PATH && log.size() < MAX_PATH) {
    std::wcscpy(g_folder, folder.c_str());
    std::wcscpy(g_logPath, log.c_str());
  }
  if (HMODULE dbghelp = LoadSystemDll(L"dbghelp.dll"))
    g_writeDump = reinterpret_cast<WriteDump>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  if (!g_writeDump) LogWrite("Crash reports are off: dbghelp.dll has no MiniDumpWriteDump");
  SetUnhandledExceptionFilter(OnUnhandledException);
  std::set_terminate(OnTerminate);
}

std::wstring TakeUnannouncedCrashReport() {
  if (!g_folder[0]) return {};
  std::wstring note = NotePath();
  HANDLE file =
      CreateFileW(note.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  wchar_t path[MAX_PATH + 48] = {};
  DWORD got = 0;
  ReadFile(file, path, sizeof path - sizeof(wchar_t), &got, nullptr);
  CloseHandle(file);
  DeleteFileW(note.c_str());
  std::wstring report(path, got / sizeof(wchar_t));
  // A report pruned meanwhile, or a note from elsewhere, is not announced.
  if (report.empty() || GetFileAttributesW(report.c_str()) == INVALID_FILE_ATTRIBUTES) return {};
  return report;
}

void CrashOnPurposeIfAsked() {
#if defined(REALMPORTER_TEST_HOOKS)
  const char* where = std::getenv("REALMPORTER_TEST_CRASH");
  if (!where) return;
  if (std::string(where) == "thread") {
    if (HANDLE thread = CreateThread(nullptr, 0, CrashingThread, nullptr, 0, nullptr)) {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    }
  } else if (std::string(where) == "main") {
    CrashingThread(nullptr);
  }
#endif
}
