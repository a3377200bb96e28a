// Prints the launcher's canonical identity of a manifest file (CNG digest),
// for comparing with the operator tool's (OpenSSL digest).
#include <windows.h>

#include <cstdio>
#include <string>

#include "manifest/canonical.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  FILE* f = _wfopen(argv[1], L"rb");
  if (!f) return 1;
  std::string doc;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) doc.append(buf, n);
  std::fclose(f);
  std::string id;
  if (!ComputeManifestId(doc, &id)) return 1;
  std::printf("%s\n", id.c_str());
  return 0;
}
