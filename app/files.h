#pragma once
// File steps every room shares: whether a file is there, and a rename that
// waits out the moment a virus scanner or the search indexer holds a file.
#include <string>

// A file (not a folder) at `path`.
bool FileExists(const std::wstring& path);
// A rename written through to the disk, tried for about `ms` milliseconds;
// the last failure logged ("MoveFileEx failed").
bool MoveWithRetry(const std::wstring& from, const std::wstring& to, int ms = 1000);
// Deletes a file, making a read-only one writable first, tried for about `ms`
// milliseconds; true when no file is left at `path`.
bool DeleteFileRetrying(const std::wstring& path, int ms = 1000);
