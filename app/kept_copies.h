#pragma once
// The order of the copies the launcher keeps and prunes (the player's
// replaced `Interface`, crash reports). Their names carry a sequence number,
// `<prefix>-n<seq>-<stamp>`, because the date in a name is the clock's: set
// back or corrected, it made the copy just made sort as the oldest and go
// first. Names of an older launcher (`<prefix>-<date>`) have no number and
// sort before every numbered one, among themselves by name. Pure.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The copy's sequence number; 0 for a name without one.
unsigned long long KeptSequence(std::wstring_view name, std::wstring_view prefix);
// The name of the next copy: one past the highest number among `names`.
std::wstring NextKeptName(const std::vector<std::wstring>& names, std::wstring_view prefix, std::wstring_view stamp);
// The names to remove so that the newest `keep` stay, oldest first.
// `justMade` is never among them: it counts as the newest whatever its name.
std::vector<std::wstring> KeptBeyond(std::vector<std::wstring> names, std::wstring_view prefix, std::size_t keep,
                                     std::wstring_view justMade);
