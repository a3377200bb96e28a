#pragma once
// Text conversions between the program's three encodings: UTF-8 (server
// list, JSON, HTTP), UTF-16 (file paths, wide window texts) and GBK, code
// page 936 (the narrow UI texts of the players' Chinese Windows).
#include <string>
#include <string_view>

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// A UI text written in the source as u8"..." turned into GBK bytes for the
// ANSI window functions. Characters outside GBK become '?'.
std::string Gbk(std::u8string_view utf8);
// Server text (a manifest path, say) for a UI text.
std::string GbkFromUtf8(std::string_view utf8);
std::string GbkFromWide(std::wstring_view wide);
std::wstring WideFromGbk(std::string_view gbk);
// Text in the system's ANSI code page (paths from narrow shell calls).
std::wstring WideFromAnsi(std::string_view ansi);
