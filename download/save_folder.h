#pragma once
// Rules for the client download's save folder. Pure.
#include <string>

// A path ending in ".rar" (a file picked by mistake) becomes its folder, or
// "." without one; a bare drive "D:" becomes "D:\".
std::wstring NormalizeSaveFolder(const std::wstring& path);
// The folder without trailing '\' or '/', down to two characters ("D:\" -> "D:").
std::wstring TrimSaveFolder(const std::wstring& path);
