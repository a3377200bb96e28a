#pragma once
// The signing commands of realmporter-manifest: keygen, sign, verify-sig.
#include <string>

// True when `cmd` is one of them; `*rc` then gets the exit code.
bool RunSigningCommand(const std::string& cmd, int argc, char** argv, int* rc);
