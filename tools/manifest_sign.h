#pragma once
// The signing commands of realmporter-manifest: keygen, sign, verify-sig.
#include <string>
#include <string_view>

// True when `cmd` is one of them; `*rc` then gets the exit code.
bool RunSigningCommand(const std::string& cmd, int argc, char** argv, int* rc);

// Whether `pubPath` holds a P-256 public key in PEM.
bool IsPublicKeyFile(const std::string& pubPath);
// What is wrong with `sigText` as the signature, by the public key in
// `pubPath`, of `bytes`; empty when it verifies.
std::string SignatureProblem(const std::string& pubPath, std::string_view bytes, std::string_view sigText);
// Writes FILE.sig for `file` with the private key in `keyPath`; empty when
// written, else why not.
std::string SignFileWithKey(const std::string& keyPath, const std::string& file);
