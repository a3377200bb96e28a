#pragma once
// The realm configuration text and the patch archive names that the
// housekeeping removes. Pure.
#include <string>
#include <string_view>

// The text of Data\zhCN\realmlist.wtf with LF line ends (the text-mode
// stream stores CR LF). Returns false, and builds nothing, when a field holds
// a double quote or a control character: it would end the quoted value and
// put further lines into the client's configuration.
bool BuildRealmConfigText(std::string_view realm, std::string_view patch, std::string* out);

// Characters that may follow "patch-" in Data and "patch-zhCN-" in
// Data\zhCN for an archive to count as stale, in the order they are tried.
inline constexpr char kStaleDataPatchChars[] = "56789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
inline constexpr char kStaleLocalePatchChars[] = "789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
