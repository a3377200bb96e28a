#pragma once
// Text conversions between the program's three encodings: UTF-8 (server
// list, JSON, HTTP), UTF-16 (file paths, wide window texts) and GBK, code
// page 936 (the narrow UI texts: between threads, in the log; windows get
// them wide).
#include <string>
#include <string_view>

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// A UI text written in the source as u8"..." turned into GBK bytes.
// Characters outside GBK become '?'.
std::string Gbk(std::u8string_view utf8);
// Server text (a manifest path, say) for a UI text.
std::string GbkFromUtf8(std::string_view utf8);
std::string GbkFromWide(std::wstring_view wide);
// The one way a GBK text reaches Windows: made wide from code page 936 itself,
// never through the system's ANSI code page, which is 936 only where Windows
// is set to Simplified Chinese (elsewhere 1252, 950, 932... would garble it).
std::wstring WideFromGbk(std::string_view gbk);
// A UI text written in the source as u8"..." as a window shows it: through
// its GBK form, so the window reads exactly what the log and messages carry.
std::wstring UiText(std::u8string_view utf8);
// Text in the system's ANSI code page (paths from narrow shell calls).
std::wstring WideFromAnsi(std::string_view ansi);
