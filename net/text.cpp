#include "net/text.h"

#include <windows.h>

namespace {

constexpr UINT kGbkCodePage = 936;

std::wstring ToWide(UINT codePage, std::string_view in) {
  if (in.empty()) return {};
  int n = MultiByteToWideChar(codePage, 0, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, in.data(), static_cast<int>(in.size()), out.data(), n);
  return out;
}

std::string FromWide(UINT codePage, std::wstring_view in) {
  if (in.empty()) return {};
  int n = WideCharToMultiByte(codePage, 0, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, in.data(), static_cast<int>(in.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) { return ToWide(CP_UTF8, utf8); }
std::string WideToUtf8(std::wstring_view wide) { return FromWide(CP_UTF8, wide); }

std::string GbkFromUtf8(std::string_view utf8) { return FromWide(kGbkCodePage, ToWide(CP_UTF8, utf8)); }
std::string Gbk(std::u8string_view utf8) {
  return GbkFromUtf8(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}
std::string GbkFromWide(std::wstring_view wide) { return FromWide(kGbkCodePage, wide); }
std::wstring WideFromGbk(std::string_view gbk) { return ToWide(kGbkCodePage, gbk); }
std::wstring UiText(std::u8string_view utf8) { return WideFromGbk(Gbk(utf8)); }
std::wstring WideFromAnsi(std::string_view ansi) { return ToWide(CP_ACP, ansi); }
