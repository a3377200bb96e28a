#pragma once
// Helpers shared by the Windows tests: scratch folders, whole-file reads and
// writes, the test helper programs.
#include <windows.h>

#include <string>

namespace testing_support {

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
