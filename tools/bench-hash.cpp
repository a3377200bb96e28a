// SHA-256 speed for the benchmark.
//
//   rp-bench-hash FILE
//     times Sha256HexOfFile on one file: prints the digest and MiB/s.
//   rp-bench-hash --verify FOLDER [--threads N] [--platform]
//     reads and hashes every file below FOLDER with Sha256HexOfFile, as a
//     verify does, N files side by side (default: one per processor);
//     prints the files, MiB, seconds and MiB/s.
//   rp-bench-hash --threads N --mib M [--platform]
//     N threads each hash the same M MiB held in memory through Sha256Stream
//     at once (no disk); prints the threads' wall seconds and their MiB/s
//     together. --platform: through CNG even where the processor's SHA
//     instructions are there.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hash/sha256.h"
#include "hash/sha256_stream.h"

namespace {

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

int FileMode(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &d)) return 1;
  double bytes = static_cast<double>((static_cast<unsigned long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
  double a = Now();
  std::string hex;
  if (!Sha256HexOfFile(path, &hex)) return 1;
  double s = Now() - a;
  std::printf("%s %.3f s %.1f MB/s\n", hex.c_str(), s, bytes / 1048576.0 / s);
  return 0;
}

int ThreadMode(int threads, int mib) {
  std::vector<unsigned char> data(static_cast<size_t>(mib) << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
  std::vector<std::string> digests(threads);
  std::vector<double> cpu(threads);
  std::vector<std::thread> pool;
  double a = Now();
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      Sha256Stream h;
      // In 1 MiB pieces, as a file is fed.
      for (size_t off = 0; off < data.size(); off += 1048576) h.Update(data.data() + off, 1048576);
      h.Finish(&digests[t]);
      FILETIME created, ended, kernel, user;
      GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
      auto secs = [](const FILETIME& f) {
        return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
      };
      cpu[t] = secs(kernel) + secs(user);
    });
  }
  for (auto& th : pool) th.join();
  double s = Now() - a, cpuSum = 0;
  for (int t = 0; t < threads; ++t) cpuSum += cpu[t];
  for (int t = 1; t < threads; ++t)
    if (digests[t] != digests[0]) return 1;
  // The processor time shows what the wall clock hides on a shared machine:
  // threads that wait for each other spend wall time but no processor time.
  std::printf("%s threads %d cpu %.3f s, %.1f MiB per cpu second; %.3f s %.1f MiB/s\n", digests[0].c_str(), threads,
              cpuSum, static_cast<double>(mib) * threads / cpuSum, s, static_cast<double>(mib) * threads / s);
  return 0;
}

void ListFiles(const std::wstring& folder, std::vector<std::wstring>* out) {
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = d.cFileName;
    if (name == L"." || name == L"..") continue;
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListFiles(folder + L"\\" + name, out);
    else
      out->push_back(folder + L"\\" + name);
  } while (FindNextFileW(h, &d));
  FindClose(h);
}

int VerifyMode(const std::wstring& folder, int threads) {
  if (threads < 1) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    threads = static_cast<int>(si.dwNumberOfProcessors);
  }
  std::vector<std::wstring> files;
  ListFiles(folder, &files);
  std::atomic<size_t> next{0};
  std::atomic<unsigned long long> bytes{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> pool;
  const double a = Now();
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (size_t i; (i = next.fetch_add(1)) < files.size();) {
        WIN32_FILE_ATTRIBUTE_DATA d;
        std::string hex;
        if (!GetFileAttributesExW(files[i].c_str(), GetFileExInfoStandard, &d) || !Sha256HexOfFile(files[i], &hex))
          failed = true;
        else
          bytes += (static_cast<unsigned long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
      }
    });
  }
  for (auto& th : pool) th.join();
  const double s = Now() - a, mib = static_cast<double>(bytes.load()) / 1048576.0;
  std::printf("files %zu threads %d %.1f MiB %.3f s %.1f MiB/s\n", files.size(), threads, mib, s, mib / s);
  return failed ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2) return FileMode(argv[1]);
  int threads = 0, mib = 0;
  std::wstring verify;
  for (int i = 1; i < argc; ++i) {
    if (!std::wcscmp(argv[i], L"--threads") && i + 1 < argc)
      threads = _wtoi(argv[++i]);
    else if (!std::wcscmp(argv[i], L"--mib") && i + 1 < argc)
      mib = _wtoi(argv[++i]);
    else if (!std::wcscmp(argv[i], L"--platform"))
      Sha256UsePlatformOnly(true);
    else if (!std::wcscmp(argv[i], L"--verify") && i + 1 < argc)
      verify = argv[++i];
    else
      return 2;
  }
  if (!verify.empty()) return VerifyMode(verify, threads);
  if (threads < 1 || mib < 1) return 2;
  return ThreadMode(threads, mib);
}
