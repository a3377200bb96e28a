#pragma once
// The endpoints built into a launcher executable (cmake/endpoints.h.in): its
// three mirror bases and its site, read from the exe's own bytes, so the
// operator's checks ask what the players' launchers ask.
#include <string>
#include <vector>

// False, with why in *error, when the exe cannot be read or does not hold
// the mirror bases and at most one site (*site empty when none: the
// realmporter-fetch.exe of a release has only the mirrors).
bool EndpointsOfLauncher(const std::string& exePath, std::vector<std::string>* mirrors, std::string* site,
                         std::string* error);
// The mirror bases of a list file: one URL a line, blank lines and lines
// starting with # skipped.
bool MirrorListOfFile(const std::string& path, std::vector<std::string>* mirrors, std::string* error);
