#pragma once
// The one validation rule for the game path, and the game folder. Pure: no
// file system access.
#include <string>
#include <string_view>

// True when the path names Wow.exe (any case) in a drive-letter folder below
// the drive root whose name holds no control character and none of "*<>?|.
bool IsValidGamePath(std::wstring_view path);

// The path without its last component, as the shell's PathRemoveFileSpecW
// gives it: "C:\Games\Client\Wow.exe" -> "C:\Games\Client", "C:\Wow.exe" -> "C:\".
// '/' separates like '\', as in IsValidGamePath.
std::wstring GameFolderOf(std::wstring_view gamePath);
