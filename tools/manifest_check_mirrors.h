#pragma once
// realmporter-manifest check-mirrors: what every mirror a manifest lists
// really serves.

#include <string>

int CheckMirrors(int argc, char** argv);

// A file's bytes, whole (tools/realmporter-manifest.cpp).
bool ReadWhole(const std::string& path, std::string* out);
