#pragma once
// Manifest paths come from a server: they must never make the launcher
// write outside the install folder.
#include <cstdint>
#include <string>
#include <string_view>

// base + '\' + rel, without doubling a separator at the end of base.
std::wstring JoinPath(const std::wstring& base, const std::wstring& rel);
// False for an empty path, a leading '/' or '\', any ':' and any "..".
bool IsSafeManifestPath(std::string_view path);
// The manifest's install_root and product each name one folder (or file)
// directly inside the save folder. True only for one plain name: not empty,
// no '/', '\' or ':', not made only of dots and blanks (Windows drops those
// at the end of a name, so "..." or ". ." would name the parent), no control
// character and none of <>"|?*.
bool IsPlainFolderName(std::string_view name);
// What Windows makes of a manifest path, for telling whether two paths name
// the same file: '/' as '\', empty and "." parts dropped, the dots and blanks
// Windows strips from the end of each part dropped, ASCII letters in upper
// case. (Other letters fold too on Windows; the launcher folds the key
// further with the system's own case table.)
std::string LocalPathKey(std::string_view path);
// The manifest path as a relative local path: '/' becomes '\'.
std::wstring ManifestPathToLocal(const std::wstring& widePath);
// True when `path` begins with `dir` (which ends in '\') ignoring ASCII case.
bool HasDirectoryPrefix(std::wstring_view dir, std::wstring_view path);

#if defined(_WIN32)
// Both paths made absolute (each must fit 259 characters); the local path
// must lie under the folder, compared with a final backslash.
bool IsInsideInstallDir(const std::wstring& installDir, const std::wstring& localPath);
// Creates every folder above the last component; logs and fails on the
// first creation that fails for another reason than "already exists".
bool CreateParentDirectories(const std::wstring& path);
// The size of a file; false when there is no file (or a folder) at `path`.
bool FileSizeOf(const std::wstring& path, std::uint64_t* size);
// Free bytes the user may fill on the folder's volume. A folder not made yet
// is answered for by the nearest folder above it.
bool FreeBytesAt(std::wstring folder, std::uint64_t* freeBytes);
#endif
