// Times Sha256HexOfFile on one file: prints the digest and MB/s.
#include <windows.h>

#include <cstdio>
#include <string>

#include "hash/sha256.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(argv[1], GetFileExInfoStandard, &d)) return 1;
  double bytes = static_cast<double>((static_cast<unsigned long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&a);
  std::string hex;
  if (!Sha256HexOfFile(argv[1], &hex)) return 1;
  QueryPerformanceCounter(&b);
  double s = static_cast<double>(b.QuadPart - a.QuadPart) / f.QuadPart;
  std::printf("%s %.3f s %.1f MB/s\n", hex.c_str(), s, bytes / 1048576.0 / s);
  return 0;
}
