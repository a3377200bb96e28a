// The log file on Wine's real file system: line format, rotation at 5 MiB,
// a missing folder, wide arguments and concurrent writers.
#include "app/log.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string LogDir() {
  char appData[MAX_PATH] = {};
  SHGetSpecialFolderPathA(nullptr, appData, CSIDL_LOCAL_APPDATA, FALSE);
  return std::string(appData) + "\\RealmPorter";
}
std::string LogPath() { return LogDir() + "\\launcher.log"; }
std::string OldPath() { return LogPath() + ".old"; }

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, size_t n) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  std::string block(65536, 'x');
  while (n > 0) {
    size_t k = n < block.size() ? n : block.size();
    f.write(block.data(), static_cast<std::streamsize>(k));
    n -= k;
  }
}

long long SizeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) return -1;
  return (static_cast<long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryA(LogDir().c_str(), nullptr);
    DeleteFileA(LogPath().c_str());
    DeleteFileA(OldPath().c_str());
  }
};

const std::regex kLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] (.*)\r)");

TEST_F(LogFile, WritesOneStampedLineWithCrLf) {
  LogWrite("Download HTTP %lu: %s", 503ul, "https://127.0.0.1/x");
  std::string text = ReadAll(LogPath());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::smatch m;
  std::string line = text.substr(0, text.size() - 1);
  ASSERT_TRUE(std::regex_match(line, m, kLine)) << text;
  EXPECT_EQ(m[1], "Download HTTP 503: https://127.0.0.1/x");
}

TEST_F(LogFile, RotatesAtExactlyFiveMebibytes) {
  WriteBytes(OldPath(), 10);  // an older generation is replaced
  WriteBytes(LogPath(), kLogRotateBytes - 1);
  LogWrite("below");
  long long grown = SizeOf(LogPath());
  EXPECT_GT(grown, static_cast<long long>(kLogRotateBytes)) << "no rotation below the threshold";
  EXPECT_EQ(SizeOf(OldPath()), 10);

  LogWrite("after");
  EXPECT_EQ(SizeOf(OldPath()), grown);
  std::string fresh = ReadAll(LogPath());
  EXPECT_NE(fresh.find("] after\r\n"), std::string::npos);
  EXPECT_EQ(fresh.find("below"), std::string::npos);
}

TEST_F(LogFile, MissingFolderDropsTheLineQuietly) {
  ASSERT_TRUE(RemoveDirectoryA(LogDir().c_str()));
  LogWrite("lost %d", 1);
  EXPECT_EQ(GetFileAttributesA(LogDir().c_str()), INVALID_FILE_ATTRIBUTES);
  CreateDirectoryA(LogDir().c_str(), nullptr);
}

TEST_F(LogFile, WideArgumentsAreConvertedByTheRuntime) {
  LogWrite("CreateDirectoryW failed: %ls err=%lu", L"C:\\Games\\\x5ba2\x6237\x7aef", 5ul);
  std::string text = ReadAll(LogPath());
  // U+5BA2 U+6237 U+7AEF (client) in GBK.
  EXPECT_NE(text.find("C:\\Games\\\xBF\xCD\xBB\xA7\xB6\xCB err=5\r\n"), std::string::npos) << text;
}

TEST_F(LogFile, APathTheCodePageCannotHoldIsKeptWhole) {
  // U+0E01 (Thai) has no place in the Chinese or a Western code page: the
  // runtime's conversion stopped there. The whole path comes out in UTF-8.
  LogWrite("Download fopen failed: %ls (%lu)", L"D:\\\x0e01\\\x5ba2\x6237\x7aef\\Wow.exe", 3ul);
  std::string text = ReadAll(LogPath());
  EXPECT_NE(text.find("D:\\\xE0\xB8\x81\\\xE5\xAE\xA2\xE6\x88\xB7\xE7\xAB\xAF\\Wow.exe (3)\r\n"), std::string::npos)
      << text;
  LogWrite("%s %d %llu %zu %.2f %08lX %c%%", "all", -3, 1ull << 40, size_t{7}, 2.5, 0xABCul, 'z');
  EXPECT_NE(ReadAll(LogPath()).find("all -3 1099511627776 7 2.50 00000ABC z%\r\n"), std::string::npos);
}

TEST_F(LogFile, ConcurrentWritersLoseAndSplitNothing) {
  constexpr int kThreads = 8, kLines = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) LogWrite("writer %d line %d %s", t, i, "payload-payload-payload");
    });
  for (auto& th : threads) th.join();

  std::string text = ReadAll(LogPath());
  std::set<std::string> seen;
  size_t pos = 0;
  const std::regex body(R"(writer (\d+) line (\d+) payload-payload-payload)");
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    ASSERT_NE(lf, std::string::npos);
    std::string line = text.substr(pos, lf - pos);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    std::string inner = m[1];
    ASSERT_TRUE(std::regex_match(inner, body)) << inner;
    seen.insert(inner);
    pos = lf + 1;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
