// Adds a DER certificate to the machine's trusted root store of the test
// Wine prefix, so that the loopback servers' certificate authority is known.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rp_helper_import_ca CERT.der\n");
    return 2;
  }
  FILE* f = _wfopen(argv[1], L"rb");
  if (!f) return 1;
  std::vector<BYTE> der;
  BYTE buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) der.insert(der.end(), buf, buf + n);
  std::fclose(f);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) return 1;
  BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
  return ok ? 0 : 1;
}
