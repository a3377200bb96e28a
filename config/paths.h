#pragma once
// Path repairs for stored settings (no file system access).
#include <string>

// Drops an extended-length prefix in place: "\\?\UNC\srv\x" becomes
// "\\srv\x" and "\\?\C:\x" becomes "C:\x" (case-sensitive prefixes).
void NormalizeExtendedPath(wchar_t* path);
void NormalizeExtendedPath(std::wstring& path);

// Removes trailing '\' and '/' while more than one character remains.
void TrimTrailingSeparators(std::wstring& path);
