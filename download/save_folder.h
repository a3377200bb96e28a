#pragma once
// Rules for the client download's save folder. Pure.
#include <string>

// A path ending in ".rar" (a file picked by mistake) becomes its folder, or
// "." without one; a bare drive "D:" becomes "D:\".
std::wstring NormalizeSaveFolder(const std::wstring& path);
// The folder without trailing '\' or '/', down to two characters ("D:\" -> "D:").
std::wstring TrimSaveFolder(const std::wstring& path);
// The folder browser's answer: `typed` is its path field, `selected` the
// tree's folder. A full path typed ("D:\Games", "\\server\share") is taken as
// typed; the selected folder's own name (what the field shows by itself) or
// an empty field gives the selection; another name is a folder inside the
// selection. Empty when the typed text names no folder ("D:Games",
// "\Games", a name with no selection).
std::wstring ChooseTypedFolder(const std::wstring& typed, const std::wstring& selected);

// The text for a file that could not be written. `windowsError` is the
// system's error of the failed write: only a full disk (ERROR_DISK_FULL,
// ERROR_HANDLE_DISK_FULL) is called one, naming `drive` ("D:", UTF-8), what is kept
// and how to go on. UTF-8.
std::u8string DiskWriteFailureText(const std::string& path, const std::string& drive, unsigned long windowsError);
// "D:" of "D:\Games\x", "\\server\share" of a network path, else empty.
std::wstring DriveOf(const std::wstring& path);
